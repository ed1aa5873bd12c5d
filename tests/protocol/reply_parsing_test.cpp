#include <gtest/gtest.h>

#include "bytes_of.h"
#include "encoder_protocol.h"
#include "reply_tracker.h"

using protocol::Bytes;
using protocol::ReplyStatus;
using quillon_test::bytesOf;

namespace {

std::string textOf(protocol::ByteView reply, protocol::Segment s) {
  const auto bytes = protocol::segmentBytes(reply, s);
  return std::string(bytes.begin(), bytes.end());
}

// ESC 's', the block, '?', FS, ESC 'r', status.
Bytes readReply(std::string_view block, char status = 'p') {
  std::string reply = "\x1Bs";
  reply += block;
  reply += "?\x1C\x1Br";
  reply += status;
  return bytesOf(reply);
}

struct Tracks {
  std::string t1, t2, t3;
  bool ok;
};

Tracks split(int selection, const Bytes& reply) {
  const auto r = protocol::splitReadReply(selection, reply);
  return {textOf(reply, r.track1), textOf(reply, r.track2),
          textOf(reply, r.track3), r.succeeded};
}

// Every segment must lie inside the reply and after the two header bytes.
void expectInside(const Bytes& reply, const protocol::ReadReply& r) {
  for (const auto& s : {r.track1, r.track2, r.track3}) {
    EXPECT_LE(s.offset + s.length, reply.size());
    if (s.length > 0) {
      EXPECT_GE(s.offset, 2u);
    }
  }
}

TEST(StatusAnswer, ByteAfterFirstR) {
  EXPECT_EQ(protocol::statusByte(bytesOf("\x1Brp")), 'p');
  EXPECT_EQ(protocol::statusByte(bytesOf("rq")), 'q');
  EXPECT_EQ(protocol::statusByte(bytesOf("xxrzrp")), 'z');
  EXPECT_FALSE(protocol::statusByte(bytesOf("\x1Bp")).has_value());
  EXPECT_FALSE(protocol::statusByte(bytesOf("\x1Br")).has_value());
  EXPECT_FALSE(protocol::statusByte(Bytes{}).has_value());
}

TEST(StatusAnswer, Classification) {
  EXPECT_EQ(protocol::classifyStatus('p'), ReplyStatus::Success);
  EXPECT_EQ(protocol::classifyStatus('q'), ReplyStatus::Failure);
  EXPECT_EQ(protocol::classifyStatus('x'), ReplyStatus::Invalid);
  EXPECT_EQ(protocol::classifyStatus(std::nullopt), ReplyStatus::Invalid);
}

// Each selection takes its tracks by the separators: track 1 may hold
// separator letters, a missing separator leaves the tracks after it empty,
// and a reply without its end runs to the last byte.
TEST(SplitReadReply, EachSelectionTakesItsTracks) {
  struct Row {
    int selection;
    Bytes reply;
    std::string t1, t2, t3;
  };
  const Row rows[] = {
      {7, readReply("123A456BXYZ"), "XYZ", "123", "456"},
      {1, readReply("B%ABC^DOE"), "%ABC^DOE", "", ""},
      {2, readReply(";1234=99"), "", ";1234=99", ""},
      {4, readReply("A;0042"), "", "", ";0042"},
      {3, readReply("22B%AB^CD"), "%AB^CD", "22", ""},
      {7, readReply("2A3BxAyBz"), "xAyBz", "2", "3"},
      {6, readReply("555A666"), "", "555", "666"},
      {2, readReply("12A34B56"), "", "12A34B56", ""},
      {6, bytesOf("\x1Bs123A45"), "", "123", "45"},
      {7, readReply("123456"), "", "123456", ""},
      {7, readReply("12A34"), "", "12", "34"},
      {7, readReply("12A34B"), "", "12", "34"},
      {6, readReply("12A"), "", "12", ""},
  };
  for (const Row& row : rows) {
    const Tracks got = split(row.selection, row.reply);
    SCOPED_TRACE(testing::PrintToString(row.reply));
    EXPECT_EQ(got.t1, row.t1);
    EXPECT_EQ(got.t2, row.t2);
    EXPECT_EQ(got.t3, row.t3);
    EXPECT_EQ(got.ok, row.reply.back() == 'p');
  }
}

TEST(SplitReadReply, FailedReadIsReportedByLastByte) {
  EXPECT_FALSE(split(7, readReply("1A2B3", 'q')).ok);
  EXPECT_FALSE(split(7, bytesOf("\x1Bs1A2B3?\x1C\x1Br")).ok);
  EXPECT_FALSE(split(7, Bytes{}).ok);
}

TEST(SplitReadReply, EndMarkInsideHeaderOrBeforeDataGivesEmptyTracks) {
  for (const char* text : {"?", "\x1B?", "?s1A2B3", "\x1Bs?A1B2", "\x1Bs"}) {
    const Bytes reply = bytesOf(text);
    for (int selection = 0; selection <= 8; ++selection) {
      const auto r = protocol::splitReadReply(selection, reply);
      expectInside(reply, r);
      EXPECT_EQ(r.track1.length + r.track2.length + r.track3.length, 0u)
          << text << " selection " << selection;
    }
  }
}

TEST(SplitReadReply, ShortRepliesNeverReachOutside) {
  // Every prefix of a full reply, for every selection.
  const Bytes full = readReply("12A34B56");
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
    for (int selection = -1; selection <= 8; ++selection)
      expectInside(prefix, protocol::splitReadReply(selection, prefix));
  }
}

TEST(SplitReadReply, LargestReplySplitsWithinBounds) {
  std::string block(protocol::kMaxReplySize - 7, 'B');
  const Bytes reply = readReply(block);
  ASSERT_EQ(reply.size(), protocol::kMaxReplySize);
  for (int selection = 1; selection <= 7; ++selection)
    expectInside(reply, protocol::splitReadReply(selection, reply));
}

}  // namespace

// Where each kind of reply ends, and which read replies are whole: only
// as the encoder frames them, and no more than the longest reply (no byte
// past it is taken).
TEST(ReplyTracker, EachKindEndsWithItsLastByteAndOnlyAFramedReplyIsWhole) {
  using Kind = protocol::ReplyTracker::Kind;
  struct Row {
    Kind kind;
    std::string received;
    bool ended;
    bool whole;
    std::size_t taken;
  };
  const std::string end = "?\x1c\x1brp";
  const Row rows[] = {
      {Kind::StatusAnswer, "\x1br", false, false, 2},
      {Kind::StatusAnswer, "\x1brp", true, true, 3},
      {Kind::StatusAnswer, "rq", true, false, 2},  // the tail of a cut answer
      {Kind::StatusAnswer, "", false, false, 0},
      {Kind::ReadReply, "\x1bs12r3", false, false, 6},  // 'r' in a track
      {Kind::ReadReply, "\x1bs123?\x1c\x1br", false, false, 9},
      {Kind::ReadReply, "\x1bsB123" + end, true, true, 11},
      {Kind::ReadReply, "\x1bs?\x1c\x1brq", true, true, 7},
      {Kind::ReadReply, "\x1bs" + std::string(393, '1') + end, true, true, 400},
      {Kind::ReadReply, "\x1bs" + std::string(394, '1') + end, false, false,
       400},
      {Kind::ReadReply, "\x06\x1bs1" + end, true, false, 9},  // stale byte
      {Kind::ReadReply, "\x1bs1?\x1brp", true, false, 7},     // no FS
      {Kind::ReadReply, "\x1bs1?\x1cp", false, false, 6},     // no 'r'
      {Kind::ReadReply, "\x1bsBAp", false, false, 5},         // a status letter
      {Kind::LineTest, "\x1b", false, false, 1},
      {Kind::LineTest, "\x1by", true, true, 2},
      {Kind::LineTest, "\x1bx", false, false, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.received));
    protocol::ReplyTracker tracker(row.kind);
    for (int round = 0; round < 2; ++round) {  // the same after restart()
      std::size_t taken = 0;
      for (const auto b : bytesOf(row.received)) taken += tracker.take(b);
      EXPECT_EQ(tracker.ended(), row.ended);
      EXPECT_EQ(tracker.whole(), row.whole);
      EXPECT_EQ(taken, row.taken);
      tracker.restart();
    }
  }
}
