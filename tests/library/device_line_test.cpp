// The device around its port: opened, reopened elsewhere, unplugged, and
// Escape while an operation waits.
#include <thread>

#include "device_fixture.h"

namespace quillon_test {
namespace {

using namespace std::chrono_literals;

TEST_F(EncoderDeviceTest, OpenRefusesBaudZeroAndEndsClosed) {
  EXPECT_EQ(device.Open(encoder.slavePath(), 0), -1);
  EXPECT_FALSE(device.isOpen());
  EXPECT_EQ(device.Reset(), -1);
  EXPECT_EQ(device.Open(encoder.slavePath(), -9600), -1);
  EXPECT_EQ(device.Open("/nonexistent/tty", 9600), -1);
  EXPECT_EQ(device.Open(encoder.slavePath(), 9600), 0);
  EXPECT_EQ(device.Reset(), 0);
}

TEST_F(EncoderDeviceTest, CloseSendsNothingAndIsIdempotent) {
  EXPECT_EQ(device.Close(), 0);
  EXPECT_EQ(device.Close(), 0);
  EXPECT_TRUE(receivedAfterPause().empty());
  EXPECT_EQ(device.QueryStatus(), -1);
}

TEST_F(EncoderDeviceTest, OpeningAnotherPortLeavesTheFirst) {
  sim::SimulatedEncoder second;
  ASSERT_TRUE(second.start()) << second.errorText();
  ASSERT_EQ(device.Open(second.slavePath(), 19200), 0);
  EXPECT_EQ(device.Reset(), 0);

  quillon::EncoderDevice other{keyboard};
  EXPECT_EQ(other.Open(encoder.slavePath(), 9600), 0)
      << "the first port was closed";
  EXPECT_EQ(other.QueryStatus(), 0);
  other.Close();

  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(second.received(), frame({0x1B, 0x30}));
  EXPECT_EQ(encoder.received(), frame({0x1B, 0x6A}));
  device.Close();
  second.stop();
}

TEST_F(EncoderDeviceTest, UnpluggedEncoderFailsEveryWriteWithoutWaiting) {
  encoder.unplug();
  const auto start = std::chrono::steady_clock::now();
  char buffer[400] = {};
  EXPECT_EQ(device.Reset(), -3);
  EXPECT_EQ(device.EraseCard(1), -3);
  EXPECT_EQ(device.QueryStatus(), -3);
  EXPECT_EQ(device.TestCommunication(), -3);
  EXPECT_EQ(device.ReadCard(2, nullptr, buffer, nullptr), -3);
  EXPECT_EQ(device.WriteCard(2, "", "1", ""), -3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(device.Close(), 0);
}

TEST_F(EncoderDeviceTest, LineLostWhileACardIsAwaitedGivesNoReply) {
  encoder.setSwipeDelay(std::nullopt);
  unplugAfter(100ms);
  char buffer[400] = {};
  EXPECT_EQ(device.ReadCard(2, nullptr, buffer, nullptr), -6);
}

TEST_F(EncoderDeviceTest, LineLostWhileAWriteIsAwaitedGivesNoReply) {
  encoder.setSwipeDelay(std::nullopt);
  unplugAfter(100ms);
  EXPECT_EQ(device.WriteCard(2, "", "1", ""), -6);
}

// Escape while a card is awaited: the encoder is reset.
TEST_F(EncoderDeviceTest, EscapeDuringReadOrWriteResetsTheEncoder) {
  encoder.setSwipeDelay(std::nullopt);
  char buffer[400] = {};
  helper = std::thread([this] {
    std::this_thread::sleep_for(100ms);
    keyboard.tap();
  });
  EXPECT_EQ(device.ReadCard(2, nullptr, buffer, nullptr), -13);
  helper.join();
  EXPECT_EQ(buffer[0], 0) << "nothing stored";
  EXPECT_EQ(receivedOnce(6), frame({0x1B, 0x5D, 0x1B, 0x6A, 0x1B, 0x30}));

  encoder.clearReceived();
  helper = std::thread([this] {
    std::this_thread::sleep_for(100ms);
    keyboard.tap();
  });
  EXPECT_EQ(device.WriteCard(2, "", "9", ""), -13);
  helper.join();
  EXPECT_EQ(receivedOnce(10),
            bytesOf("\x1bt9\x1d\x1b\\\x1bj") + frame({0x1B, 0x30}));
}

// Escape while waiting for a status or test answer: nothing more is sent.
TEST_F(EncoderDeviceTest, EscapeDuringStatusOrTestSendsNothingMore) {
  encoder.setSilent(true);
  keyboard.hold();
  EXPECT_EQ(device.QueryStatus(), -13);
  EXPECT_EQ(device.TestCommunication(), -13);
  keyboard.release();
  EXPECT_EQ(receivedAfterPause(), frame({0x1B, 0x6A, 0x1B, 0x65}));
}

TEST_F(EncoderDeviceTest, PressBeforeTheOperationDoesNotAbortIt) {
  keyboard.tap();
  EXPECT_EQ(device.QueryStatus(), 0);
  keyboard.tap();
  EXPECT_EQ(device.WriteCard(1, "A", "", ""), 0);
}

}  // namespace
}  // namespace quillon_test
