// What a program may add to a read: a reply tracker that ends it before
// the pause, and an interrupt descriptor that ends the wait.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
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

struct SplitReply {
  const char* name;
  std::optional<protocol::ReplyTracker::Kind> kind;  // none: no tracker
  std::vector<std::string> bursts;  // 30 ms apart: one reply by the pause
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
    std::thread device([&] {
      for (const auto& burst : row.bursts) {
        pty.write(bytesOf(burst));
        std::this_thread::sleep_for(30ms);
      }
    });
    std::array<std::uint8_t, SerialPort::kReadSize> buffer{};
    protocol::ReplyTracker tracker(
        row.kind.value_or(protocol::ReplyTracker::Kind::ReadReply));
    const auto got = port.Read(buffer, {-1, row.kind ? &tracker : nullptr});
    device.join();
    ASSERT_EQ(got.status, QUILLON_OK);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got.count),
              bytesOf(row.expected));
    port.Close();
  }
}

TEST(SerialReadEnd, TheInterruptDescriptorEndsTheWait) {
  quillon_test::PtyPair pty;
  quillon_test::FakeKeyboardProbe keyboard;
  SerialPort port(keyboard);
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600)) << pty.errorText();
  const int interrupt = ::eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(interrupt, 0);
  std::thread signaller([&] {
    std::this_thread::sleep_for(50ms);
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(interrupt, &one, sizeof one), 8);
  });
  std::array<std::uint8_t, SerialPort::kReadSize> buffer{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.Read(buffer, {interrupt, nullptr}).status, QUILLON_ERR_ESCAPE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // not 11 s
  signaller.join();
  ::close(interrupt);
  port.Close();
}

}  // namespace
