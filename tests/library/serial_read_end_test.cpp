// What a program may add to a read: a reply tracker that ends it before
// the pause, and an interrupt descriptor that ends the wait (but never
// a reply that has begun to arrive).
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include "fake_keyboard_probe.h"
#include "pty_pair.h"
#include "quillon/core/serial_port.h"
#include "reply_tracker.h"

namespace {

using namespace std::chrono_literals;
using quillon::SerialPort;
using quillon_test::Bytes;
using quillon_test::bytesOf;

// The device's side of a read: each step goes out once the read has taken
// the one before (it woke and looked again), so the steps arrive as
// separate pieces however late the system runs either thread, and well
// within the pause. A read that has returned takes nothing more.
class Device {
 public:
  explicit Device(const quillon_test::FakeKeyboardProbe& keyboard)
      : keyboard_(keyboard) {}

  void play(const std::vector<std::function<void()>>& steps) {
    // Begun: the read looked once and waits.
    waitForLookAfter(0);
    for (const auto& step : steps) {
      if (readEnded_) return;
      const int looks = keyboard_.looks();
      step();
      waitForLookAfter(looks);
    }
  }
  void readEnded() { readEnded_ = true; }

 private:
  void waitForLookAfter(int looks) const {
    while (keyboard_.looks() <= looks && !readEnded_)
      std::this_thread::sleep_for(100us);
  }

  const quillon_test::FakeKeyboardProbe& keyboard_;
  std::atomic<bool> readEnded_{false};
};

// Bytes sent before the read begins have reached the port's input queue.
void waitUntilQueued(const quillon_test::PtyPair& pty,
                     const std::vector<const char*>& sent) {
  int expected = 0;
  for (const char* bytes : sent)
    if (bytes != nullptr) expected += static_cast<int>(std::strlen(bytes));
  if (expected == 0) return;
  const int slave = pty.openSlave();
  int queued = 0;
  while (::ioctl(slave, FIONREAD, &queued) == 0 && queued < expected)
    std::this_thread::sleep_for(100us);
  ::close(slave);
}

struct SplitReply {
  const char* name;
  std::optional<protocol::ReplyTracker::Kind> kind;  // none: no tracker
  std::vector<std::string> bursts;  // each taken before the next is sent
  std::string expected;
};

TEST(SerialReadEnd, AWholeReplyEndsTheReadAndAPartOneWaits) {
  const SplitReply rows[] = {
      {"status answer",
       protocol::ReplyTracker::Kind::StatusAnswer,
       {"\x1b", "r", "p", "NEXT"},
       "\x1brp"},
      {"read reply with 'r' in a track",
       protocol::ReplyTracker::Kind::ReadReply,
       {"\x1bs1r2", "3?\x1c\x1br", "q", "NEXT"},
       "\x1bs1r23?\x1c\x1brq"},
      {"line test",
       protocol::ReplyTracker::Kind::LineTest,
       {"\x1b", "y", "NEXT"},
       "\x1by"},
      {"read reply of the longest size, its last byte alone",
       protocol::ReplyTracker::Kind::ReadReply,
       {"\x1bs" + std::string(393, '1') + "?\x1c\x1br", "p", "NEXT"},
       "\x1bs" + std::string(393, '1') + "?\x1c\x1brp"},
      {"no test: the pause alone",
       std::nullopt,
       {"\x1b", "r", "p", "NEXT"},
       "\x1brpNEXT"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    quillon_test::PtyPair pty;
    quillon_test::FakeKeyboardProbe keyboard;
    SerialPort port(keyboard);
    ASSERT_TRUE(port.Open(pty.slavePath(), 9600)) << pty.errorText();
    Device device(keyboard);
    std::vector<std::function<void()>> steps;
    for (const auto& burst : row.bursts)
      steps.emplace_back([&pty, &burst] { pty.write(bytesOf(burst)); });
    std::thread deviceThread([&] { device.play(steps); });
    std::array<std::uint8_t, SerialPort::kReadSize> buffer{};
    protocol::ReplyTracker tracker(
        row.kind.value_or(protocol::ReplyTracker::Kind::ReadReply));
    const auto got = port.Read(buffer, {-1, row.kind ? &tracker : nullptr, {}});
    device.readEnded();
    deviceThread.join();
    ASSERT_EQ(got.status, QUILLON_OK);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got.count),
              bytesOf(row.expected));
    if (row.kind) {
      EXPECT_TRUE(tracker.whole());
    }
    port.Close();
  }
}

// What happens on the line and on the interrupt descriptor, in order:
// bytes sent, or the interrupt (nullptr) fired.
struct InterruptRow {
  const char* name;
  std::vector<const char*> waiting;  // in place before the read begins
  std::vector<const char*> steps;    // each once the read took the one before
  bool tracked;  // a reply tracker ends the reply (else the pause)
  quillon_status status;
  std::string reply;
};

TEST(SerialReadEnd, TheInterruptEndsAWaitButNeverDropsAReplyBegun) {
  const InterruptRow rows[] = {
      {"nothing arrived", {}, {nullptr}, true, QUILLON_ERR_ESCAPE, ""},
      {"reply arriving, taken until whole",
       {},
       {"\x1b", nullptr, "r", "p", "NEXT"},
       true,
       QUILLON_OK,
       "\x1brp"},
      {"reply arriving, taken until the pause",
       {},
       {"\x1b", nullptr, "r", "p"},
       false,
       QUILLON_OK,
       "\x1brp"},
      {"whole reply waiting unread",
       {"\x1brp", nullptr},
       {},
       true,
       QUILLON_OK,
       "\x1brp"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    quillon_test::PtyPair pty;
    quillon_test::FakeKeyboardProbe keyboard;
    SerialPort port(keyboard);
    ASSERT_TRUE(port.Open(pty.slavePath(), 9600)) << pty.errorText();
    const int interrupt = ::eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(interrupt, 0);
    const auto happen = [&](const char* bytes) {
      if (bytes != nullptr) {
        pty.write(bytesOf(bytes));
        return;
      }
      const std::uint64_t one = 1;
      EXPECT_EQ(::write(interrupt, &one, sizeof one), 8);
    };
    for (const char* bytes : row.waiting) happen(bytes);
    waitUntilQueued(pty, row.waiting);
    Device device(keyboard);
    std::vector<std::function<void()>> steps;
    for (const char* bytes : row.steps)
      steps.emplace_back([&happen, bytes] { happen(bytes); });
    std::thread deviceThread([&] { device.play(steps); });
    std::array<std::uint8_t, SerialPort::kReadSize> buffer{};
    protocol::ReplyTracker tracker(protocol::ReplyTracker::Kind::StatusAnswer);
    const auto start = std::chrono::steady_clock::now();
    const auto got =
        port.Read(buffer, {interrupt, row.tracked ? &tracker : nullptr, {}});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // not 11 s
    device.readEnded();
    deviceThread.join();
    EXPECT_EQ(got.status, row.status);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got.count),
              bytesOf(row.reply));
    ::close(interrupt);
    port.Close();
  }
}

}  // namespace
