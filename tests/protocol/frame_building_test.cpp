#include <gtest/gtest.h>

#include "bytes_of.h"
#include "encoder_protocol.h"

using protocol::Bytes;
using quillon_test::bytesOf;

namespace {

TEST(ReadCommand, EachSelectionHasItsBytes) {
  const std::vector<std::pair<int, Bytes>> expected = {
      {1, {0x1B, 0x42, 0x4D, 0x1B, 0x6A}}, {2, {0x1B, 0x5D, 0x1B, 0x6A}},
      {3, {0x1B, 0x42, 0x54, 0x1B, 0x6A}}, {4, {0x1B, 0x54, 0x5D, 0x1B, 0x6A}},
      {6, {0x1B, 0x42, 0x5D, 0x1B, 0x6A}}, {7, {0x1B, 0x42, 0x74, 0x1B, 0x6A}},
  };
  for (const auto& [selection, bytes] : expected) {
    const auto command = protocol::readCommand(selection);
    ASSERT_TRUE(command.has_value()) << selection;
    EXPECT_EQ(*command, bytes) << selection;
  }
}

TEST(ReadCommand, TracksOneAndThreeAndOutOfRangeHaveNone) {
  for (int selection : {5, 0, -1, 8, 255, 0x105})
    EXPECT_FALSE(protocol::readCommand(selection).has_value()) << selection;
}

TEST(WriteFrame, TracksOneAndThreeMatchTheWireExample) {
  EXPECT_EQ(protocol::writeFrame(5, "123", "ignored", "45"),
            (Bytes{0x1B, 0x74, 0x41, 0x34, 0x35, 0x42, 0x31, 0x32, 0x33, 0x1D,
                   0x1B, 0x5C, 0x1B, 0x6A}));
}

TEST(WriteFrame, BlockOrderIsTrackTwoThreeOneForEverySelection) {
  const std::string tail = "\x1D\x1B\\\x1Bj";
  const std::vector<std::pair<int, std::string>> blocks = {
      {1, "B111"},     {2, "222"},     {3, "222B111"},     {4, "A333"},
      {5, "A333B111"}, {6, "222A333"}, {7, "222A333B111"},
  };
  for (const auto& [selection, block] : blocks)
    EXPECT_EQ(protocol::writeFrame(selection, "111", "222", "333"),
              bytesOf("\x1Bt" + block + tail))
        << selection;
}

TEST(WriteFrame, EmptyTextsKeepTheirSeparators) {
  EXPECT_EQ(protocol::writeFrame(7, "", "", ""), bytesOf("\x1Bt"
                                                         "AB\x1D\x1B\\\x1Bj"));
}

TEST(WriteFrame, SelectionOutsideRangeIsTheStatusRequestAlone) {
  for (int selection : {0, 8, -3})
    EXPECT_EQ(protocol::writeFrame(selection, "1", "2", "3"),
              (Bytes{0x1B, 0x6A}));
}

TEST(WriteFrame, TextBytesGoOutUnchangedIncludingHighAndControlBytes) {
  const std::string track1("A\xE9\x00Z", 4);
  const Bytes frame = protocol::writeFrame(1, track1, "", "");
  EXPECT_EQ(frame, (Bytes{0x1B, 't', 'B', 'A', 0xE9, 0x00, 'Z', 0x1D, 0x1B,
                          '\\', 0x1B, 'j'}));
}

TEST(WriteFrame, LongestTextsFitTheFrameBuffer) {
  const Bytes frame =
      protocol::writeFrame(7, std::string(protocol::kWriteLimitTrack1, 'x'),
                           std::string(protocol::kWriteLimitTrack2, '1'),
                           std::string(protocol::kWriteLimitTrack3, '3'));
  EXPECT_EQ(frame.size(), 2u + 199 + 129 + 149 + 2 + 3 + 2);
  EXPECT_LE(frame.size(), protocol::kMaxFrameSize);
}

TEST(EraseFrame, IsAlwaysThreeBytesCodeZeroIncluded) {
  EXPECT_EQ(bytesOf(protocol::eraseFrame(0)), (Bytes{0x1B, 0x63, 0x00}));
  EXPECT_EQ(bytesOf(protocol::eraseFrame(3)), (Bytes{0x1B, 0x63, 0x03}));
  EXPECT_EQ(bytesOf(protocol::eraseFrame(0xFF)), (Bytes{0x1B, 0x63, 0xFF}));
}

TEST(CoercivityFrame, ModesZeroOneAndOther) {
  EXPECT_EQ(bytesOf(protocol::coercivityFrame(0)), (Bytes{0x1B, 'y'}));
  EXPECT_EQ(bytesOf(protocol::coercivityFrame(1)), (Bytes{0x1B, 'x'}));
  EXPECT_EQ(bytesOf(protocol::coercivityFrame(2)), (Bytes{0x1B, 0x00}));
  EXPECT_EQ(bytesOf(protocol::coercivityFrame(-1)), (Bytes{0x1B, 0x00}));
}

TEST(DensityFrame, SendsTheLetterAsGiven) {
  EXPECT_EQ(bytesOf(protocol::densityFrame('H')), (Bytes{0x1B, 0x48}));
  EXPECT_EQ(bytesOf(protocol::densityFrame('L')), (Bytes{0x1B, 0x4C}));
  EXPECT_EQ(bytesOf(protocol::densityFrame(0x00)), (Bytes{0x1B, 0x00}));
}

}  // namespace
