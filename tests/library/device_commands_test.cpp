// Frames without a reply, the communication test and the status request.
#include <thread>

#include "device_fixture.h"

namespace quillon_test {
namespace {

using namespace std::chrono_literals;

TEST_F(EncoderDeviceTest, CommandsWithoutReplySendExactlyTheirBytes) {
  EXPECT_EQ(device.Reset(), 0);
  EXPECT_EQ(device.SetCoercivity(1), 0);
  EXPECT_EQ(device.SetCoercivity(0), 0);
  EXPECT_EQ(device.SetCoercivity(2), 0);  // neither mode: ESC 0x00
  EXPECT_EQ(device.SetTrack2Density('L'), 0);
  EXPECT_EQ(device.SetTrack2Density('H'), 0);
  EXPECT_EQ(device.SetTrack2Density(0x14C), 0);  // low byte only
  EXPECT_EQ(device.EraseCard(0), 0);             // a code of 0 still sent
  EXPECT_EQ(device.EraseCard(7), 0);
  EXPECT_EQ(device.EraseCard(0x203), 0);
  // Each write drops whatever came in before it, so nothing here depends
  // on what the encoder answers to these frames.
  const Bytes expected = frame({0x1B, 0x30, 0x1B, 0x78, 0x1B, 0x79, 0x1B, 0x00,
                                0x1B, 0x4C, 0x1B, 0x48, 0x1B, 0x4C, 0x1B, 0x63,
                                0x00, 0x1B, 0x63, 0x07, 0x1B, 0x63, 0x03});
  EXPECT_EQ(receivedOnce(expected.size()), expected);
}

TEST_F(EncoderDeviceTest, CommunicationTestWantsEscYFirst) {
  EXPECT_EQ(device.TestCommunication(), 0);
  EXPECT_EQ(receivedOnce(2), frame({0x1B, 0x65}));

  encoder.replaceNextReply(frame({0x1B, 0x79, 0x72, 0x70}));
  EXPECT_EQ(device.TestCommunication(), 0) << "only the first two count";
  encoder.replaceNextReply(frame({0x1B, 0x78}));
  EXPECT_EQ(device.TestCommunication(), -5);
  encoder.replaceNextReply(frame({0x79, 0x1B, 0x79}));
  EXPECT_EQ(device.TestCommunication(), -5);
  encoder.replaceNextReply(frame({0x1B}));
  EXPECT_EQ(device.TestCommunication(), -5) << "one byte is not the answer";
}

TEST_F(EncoderDeviceTest, StatusRequestReadsTheByteAfterTheFirstR) {
  EXPECT_EQ(device.QueryStatus(), 0);
  EXPECT_EQ(receivedOnce(2), frame({0x1B, 0x6A}));

  encoder.replaceNextReply(frame({0x1B, 'r', 'q'}));
  EXPECT_EQ(device.QueryStatus(), -5);
  encoder.replaceNextReply(frame({0x1B, 'r', 'x'}));
  EXPECT_EQ(device.QueryStatus(), -2);
  encoder.replaceNextReply(frame({0x1B, 'p', 'q'}));
  EXPECT_EQ(device.QueryStatus(), -2) << "no 'r' at all";
  encoder.replaceNextReply(frame({0x1B, 'r'}));
  EXPECT_EQ(device.QueryStatus(), -2) << "'r' as the last byte";
  encoder.replaceNextReply(frame({'r', 'p', 'r', 'q'}));
  EXPECT_EQ(device.QueryStatus(), 0) << "the first 'r' counts";
}

TEST_F(EncoderDeviceTest, InputLeftFromEarlierIsNotTakenAsTheAnswer) {
  encoder.sendNow(frame({0x1B, 'r', 'q'}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(device.QueryStatus(), 0);
}

TEST_F(EncoderDeviceTest, AnswerInBurstsCloseTogetherIsOneAnswer) {
  encoder.splitNextReply({1, 1}, 30ms);
  EXPECT_EQ(device.QueryStatus(), 0);
  encoder.splitNextReply({2}, 200ms);
  EXPECT_EQ(device.QueryStatus(), -2) << "only ESC 'r' arrived in time";
}

TEST_F(EncoderDeviceTest, LineLostWhileWaitingGivesNoReply) {
  encoder.setSilent(true);
  unplugAfter(100ms);
  EXPECT_EQ(device.QueryStatus(), -6);
  EXPECT_EQ(device.TestCommunication(), -3) << "the line is gone";
  EXPECT_TRUE(device.isOpen()) << "a failed operation leaves the port open";
}

TEST_F(EncoderDeviceTest, LineLostBeforeTheTestGivesNoReply) {
  encoder.setSilent(true);
  unplugAfter(100ms);
  EXPECT_EQ(device.TestCommunication(), -6);
}

}  // namespace
}  // namespace quillon_test
