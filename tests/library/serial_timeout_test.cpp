// The one slow test: a read that gets no reply ends after 11 seconds.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "fake_keyboard_probe.h"
#include "pty_pair.h"
#include "quillon/core/serial_port.h"

namespace {

using quillon::SerialPort;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(SerialReadTimeout, NoReplyEndsAfterElevenSecondsWithNoReply) {
  quillon_test::PtyPair pty;
  quillon_test::FakeKeyboardProbe keyboard;
  SerialPort port{keyboard};
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600)) << pty.errorText();
  std::array<std::uint8_t, SerialPort::kReadSize> buffer{};
  const auto start = Clock::now();
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_NO_REPLY);
  const auto waited =
      std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  EXPECT_GE(waited, milliseconds(SerialPort::kTotalReadTimeoutMs));
  EXPECT_LT(waited, milliseconds(SerialPort::kTotalReadTimeoutMs + 1000));
  port.Close();
}

}  // namespace
