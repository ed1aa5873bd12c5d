// Cutting the received stream into frames, however it is chopped up.
#include "frame_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "bytes_of.h"
#include "encoder_protocol.h"

namespace sim {
namespace {

using protocol::Bytes;
using quillon_test::bytesOf;

const std::string E(1, static_cast<char>(protocol::kEsc));
const std::string kWriteEnd = "\x1d\x1b\\\x1bj";

std::vector<Bytes> frameBytes(const std::vector<Frame>& frames) {
  std::vector<Bytes> out;
  for (const Frame& f : frames) out.push_back(f.bytes);
  return out;
}

TEST(FrameParser, EveryCommandIsOneFrameOfItsKind) {
  const struct {
    std::string bytes;
    FrameKind kind;
    int selection;
  } cases[] = {
      {E + "0", FrameKind::Reset, 0},
      {E + "x", FrameKind::HighCoercivity, 0},
      {E + "y", FrameKind::LowCoercivity, 0},
      {E + "H", FrameKind::Density210, 0},
      {E + "L", FrameKind::Density75, 0},
      {E + "e", FrameKind::CommunicationTest, 0},
      {E + "j", FrameKind::StatusRequest, 0},
      {E + "BM" + E + "j", FrameKind::Read, 1},
      {E + "]" + E + "j", FrameKind::Read, 2},
      {E + "BT" + E + "j", FrameKind::Read, 3},
      {E + "T]" + E + "j", FrameKind::Read, 4},
      {E + "B]" + E + "j", FrameKind::Read, 6},
      {E + "Bt" + E + "j", FrameKind::Read, 7},
  };
  for (const auto& c : cases) {
    FrameParser parser;
    const auto frames = parser.feed(bytesOf(c.bytes));
    ASSERT_EQ(frames.size(), 1u) << c.bytes;
    EXPECT_EQ(frames[0].kind, c.kind) << c.bytes;
    EXPECT_EQ(frames[0].selection, c.selection) << c.bytes;
    EXPECT_EQ(frames[0].bytes, bytesOf(c.bytes));
    EXPECT_TRUE(parser.pending().empty());
  }
}

TEST(FrameParser, ByteByByteCutsTheSameFramesAsOneChunk) {
  const Bytes stream =
      bytesOf(E + "0" + E + "c" + E + E + "t" + "2A3B" + E + "B" + kWriteEnd +
              "??" + E + "BT" + E + "j" + E + "e");
  FrameParser whole;
  const auto expected = frameBytes(whole.feed(stream));
  FrameParser split;
  std::vector<Frame> got;
  for (const auto byte : stream) {
    for (Frame& f : split.feed(Bytes{byte})) got.push_back(std::move(f));
  }
  EXPECT_EQ(frameBytes(got), expected);
  ASSERT_EQ(expected.size(), 6u);
  EXPECT_EQ(got[1].kind, FrameKind::Erase);
  EXPECT_EQ(got[1].eraseCode, 0x1B) << "any byte is an erase code";
  EXPECT_EQ(got[2].kind, FrameKind::Write);
  EXPECT_EQ(got[2].block, bytesOf("2A3B" + E + "B"));
  EXPECT_EQ(got[3].kind, FrameKind::Unknown);
  EXPECT_EQ(got[3].bytes, bytesOf("??"));
}

TEST(FrameParser, BrokenFramesEndBeforeTheCommandThatFollows) {
  FrameParser parser;
  const auto frames = parser.feed(bytesOf(E + "BM" + E + "x" + E + E + "0" + E +
                                          "t12" + "\x1d\x1b\\" + E + "H"));
  EXPECT_EQ(frameBytes(frames),
            (std::vector<Bytes>{bytesOf(E + "BM"), bytesOf(E + "x"), bytesOf(E),
                                bytesOf(E + "0"), bytesOf(E + "t12\x1d\x1b\\"),
                                bytesOf(E + "H")}));
  EXPECT_EQ(frames[0].kind, FrameKind::Unknown);
  EXPECT_EQ(frames[1].kind, FrameKind::HighCoercivity);
  EXPECT_EQ(frames[4].kind, FrameKind::Unknown) << "no status request";
  EXPECT_EQ(frames[5].kind, FrameKind::Density210);
}

TEST(FrameParser, UnfinishedFramesWaitForTheirRest) {
  FrameParser parser;
  EXPECT_TRUE(parser.feed(bytesOf("junk")).empty())
      << "stray bytes end at an ESC";
  EXPECT_EQ(frameBytes(parser.feed(bytesOf(E + "t" + "1"))),
            std::vector<Bytes>{bytesOf("junk")});
  EXPECT_TRUE(parser.feed(bytesOf("\x1d\x1b\\" + E)).empty());
  const auto frames = parser.feed(bytesOf("j"));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].kind, FrameKind::Write);
  EXPECT_EQ(frames[0].block, bytesOf("1"));
}

TEST(FrameParser, OverlongWriteBlockIsCutOff) {
  FrameParser parser;
  const std::string block(FrameParser::kMaxWriteBlock + 10, '7');
  const auto frames = parser.feed(bytesOf(E + "t" + block));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].kind, FrameKind::Unknown);
  EXPECT_EQ(frames[0].bytes.size(), FrameParser::kMaxWriteBlock + 2);
  const auto next = parser.feed(bytesOf(E + "e"));
  ASSERT_EQ(next.size(), 2u);
  EXPECT_EQ(next[1].kind, FrameKind::CommunicationTest);
}

TEST(FrameParser, LongestLegalWriteFrameFits) {
  const Bytes frame =
      protocol::writeFrame(7, std::string(protocol::kWriteLimitTrack1, 'x'),
                           std::string(protocol::kWriteLimitTrack2, '2'),
                           std::string(protocol::kWriteLimitTrack3, '3'));
  FrameParser parser;
  const auto frames = parser.feed(frame);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].kind, FrameKind::Write);
}

}  // namespace
}  // namespace sim
