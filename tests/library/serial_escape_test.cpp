// Escape while a read waits, through an injected keyboard.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

#include "fake_keyboard_probe.h"
#include "pty_pair.h"
#include "quillon/core/serial_port.h"

namespace {

using namespace std::chrono_literals;
using quillon::SerialPort;
using quillon_test::bytesOf;
using quillon_test::FakeKeyboardProbe;
using quillon_test::PtyPair;
using Clock = std::chrono::steady_clock;
using ReadBuffer = std::array<std::uint8_t, SerialPort::kReadSize>;

// Both ways a keyboard reaches a waiting read: a descriptor that wakes it,
// or a key state it must look at again and again.
class SerialEscapeTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(port.Open(pty.slavePath(), 9600)) << pty.errorText();
  }
  void TearDown() override { port.Close(); }

  PtyPair pty;
  FakeKeyboardProbe keyboard{GetParam()};
  SerialPort port{keyboard};
};

TEST_P(SerialEscapeTest, PressWhileWaitingAbortsTheRead) {
  std::thread user([&] {
    std::this_thread::sleep_for(150ms);
    keyboard.tap();
  });
  ReadBuffer buffer{};
  buffer.fill(0xAA);
  const auto start = Clock::now();
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_ESCAPE);
  user.join();
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_EQ(buffer[0], 0xAA) << "nothing stored";
}

TEST_P(SerialEscapeTest, PressAfterTheFirstBytesStillAborts) {
  std::thread device([&] {
    pty.write(bytesOf("\x1bs"));
    std::this_thread::sleep_for(20ms);
    keyboard.tap();
  });
  ReadBuffer buffer{};
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_ESCAPE);
  device.join();
}

TEST_P(SerialEscapeTest, HeldKeyAbortsAtOnce) {
  keyboard.hold();
  ReadBuffer buffer{};
  const auto start = Clock::now();
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_ESCAPE);
  EXPECT_LT(Clock::now() - start, 1s);
  keyboard.release();
}

TEST_P(SerialEscapeTest, PressThatEndedBeforeTheReadDoesNotCount) {
  keyboard.tap();
  pty.write(bytesOf("\x1byp"));
  ReadBuffer buffer{};
  EXPECT_EQ(port.Read(buffer).count, 3u);
  EXPECT_EQ(keyboard.watchesBegun(), 1);
}

INSTANTIATE_TEST_SUITE_P(Keyboard, SerialEscapeTest, ::testing::Bool(),
                         [](const auto& info) {
                           return info.param ? "Woken" : "Polled";
                         });

}  // namespace
