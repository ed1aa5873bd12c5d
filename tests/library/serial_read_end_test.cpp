// What a program may add to a read: a reply tracker that ends it before
// the pause, and an interrupt descriptor that ends the wait (but never
// a reply that has begun to arrive).
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
    std::thread device([&] {
      for (const auto& burst : row.bursts) {
        pty.write(bytesOf(burst));
        std::this_thread::sleep_for(30ms);
      }
    });
    std::array<std::uint8_t, SerialPort::kReadSize> buffer{};
    protocol::ReplyTracker tracker(
        row.kind.value_or(protocol::ReplyTracker::Kind::ReadReply));
    const auto got = port.Read(buffer, {-1, row.kind ? &tracker : nullptr, {}});
    device.join();
    ASSERT_EQ(got.status, QUILLON_OK);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got.count),
              bytesOf(row.expected));
    if (row.kind) {
      EXPECT_TRUE(tracker.whole());
    }
    port.Close();
  }
}

// What happens on the line and on the interrupt descriptor, in order.
struct InterruptStep {
  int afterMs;        // after the step before
  const char* bytes;  // sent; nullptr: the interrupt fires
};

struct InterruptRow {
  const char* name;
  std::vector<InterruptStep> steps;
  bool tracked;  // a reply tracker ends the reply (else the pause)
  quillon_status status;
  std::string reply;
};

TEST(SerialReadEnd, TheInterruptEndsAWaitButNeverDropsAReplyBegun) {
  const InterruptRow rows[] = {
      {"nothing arrived", {{50, nullptr}}, true, QUILLON_ERR_ESCAPE, ""},
      {"reply arriving, taken until whole",
       {{0, "\x1b"}, {20, nullptr}, {20, "r"}, {20, "p"}, {20, "NEXT"}},
       true,
       QUILLON_OK,
       "\x1brp"},
      {"reply arriving, taken until the pause",
       {{0, "\x1b"}, {20, nullptr}, {20, "r"}, {20, "p"}},
       false,
       QUILLON_OK,
       "\x1brp"},
      {"whole reply waiting unread",
       {{0, "\x1brp"}, {0, nullptr}},
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
    // A row that starts with the reply (or the interrupt) waiting has
    // both in place before the read begins.
    const bool before = row.steps.front().afterMs == 0;
    const auto play = [&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to; ++i) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(row.steps[i].afterMs));
        if (row.steps[i].bytes != nullptr) {
          pty.write(bytesOf(row.steps[i].bytes));
          continue;
        }
        const std::uint64_t one = 1;
        ASSERT_EQ(::write(interrupt, &one, sizeof one), 8);
      }
    };
    std::size_t first = 0;
    while (before && first < row.steps.size() && row.steps[first].afterMs == 0)
      ++first;
    play(0, first);
    std::this_thread::sleep_for(10ms);  // on the line before the read
    std::thread device([&] { play(first, row.steps.size()); });
    std::array<std::uint8_t, SerialPort::kReadSize> buffer{};
    protocol::ReplyTracker tracker(protocol::ReplyTracker::Kind::StatusAnswer);
    const auto start = std::chrono::steady_clock::now();
    const auto got =
        port.Read(buffer, {interrupt, row.tracked ? &tracker : nullptr, {}});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // not 11 s
    device.join();
    EXPECT_EQ(got.status, row.status);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got.count),
              bytesOf(row.reply));
    ::close(interrupt);
    port.Close();
  }
}

}  // namespace
