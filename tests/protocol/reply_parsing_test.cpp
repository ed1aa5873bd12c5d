#include <gtest/gtest.h>

#include "byte_literals.h"
#include "encoder_protocol.h"

using protocol::Bytes;
using protocol::ReplyStatus;
using testbytes::fromText;
using testbytes::textOf;

namespace {

// ESC 's', the block, '?', FS, ESC 'r', status.
Bytes readReply(std::string_view block, char status = 'p') {
  std::string reply = "\x1Bs";
  reply += block;
  reply += "?\x1C\x1Br";
  reply += status;
  return fromText(reply);
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
  EXPECT_EQ(protocol::statusByte(fromText("\x1Brp")), 'p');
  EXPECT_EQ(protocol::statusByte(fromText("rq")), 'q');
  EXPECT_EQ(protocol::statusByte(fromText("xxrzrp")), 'z');
  EXPECT_FALSE(protocol::statusByte(fromText("\x1Bp")).has_value());
  EXPECT_FALSE(protocol::statusByte(fromText("\x1Br")).has_value());
  EXPECT_FALSE(protocol::statusByte(Bytes{}).has_value());
}

TEST(StatusAnswer, Classification) {
  EXPECT_EQ(protocol::classifyStatus('p'), ReplyStatus::Success);
  EXPECT_EQ(protocol::classifyStatus('q'), ReplyStatus::Failure);
  EXPECT_EQ(protocol::classifyStatus('x'), ReplyStatus::Invalid);
  EXPECT_EQ(protocol::classifyStatus(std::nullopt), ReplyStatus::Invalid);
}

TEST(SplitReadReply, AllThreeTracks) {
  const auto t = split(7, readReply("123A456BXYZ"));
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.t2, "123");
  EXPECT_EQ(t.t3, "456");
  EXPECT_EQ(t.t1, "XYZ");
}

TEST(SplitReadReply, SingleTracksSkipTheirSeparatorByPosition) {
  EXPECT_EQ(split(1, readReply("B%ABC^DOE")).t1, "%ABC^DOE");
  EXPECT_EQ(split(2, readReply(";1234=99")).t2, ";1234=99");
  EXPECT_EQ(split(4, readReply("A;0042")).t3, ";0042");
}

TEST(SplitReadReply, TrackOneMayHoldSeparatorLetters) {
  const auto three = split(3, readReply("22B%AB^CD"));
  EXPECT_EQ(three.t2, "22");
  EXPECT_EQ(three.t1, "%AB^CD");
  const auto seven = split(7, readReply("2A3BxAyBz"));
  EXPECT_EQ(seven.t2, "2");
  EXPECT_EQ(seven.t3, "3");
  EXPECT_EQ(seven.t1, "xAyBz");
}

TEST(SplitReadReply, TracksTwoAndThree) {
  const auto t = split(6, readReply("555A666"));
  EXPECT_EQ(t.t2, "555");
  EXPECT_EQ(t.t3, "666");
  EXPECT_EQ(t.t1, "");
}

TEST(SplitReadReply, UnselectedTracksStayEmpty) {
  const auto t = split(2, readReply("12A34B56"));
  EXPECT_EQ(t.t1, "");
  EXPECT_EQ(t.t3, "");
}

TEST(SplitReadReply, FailedReadIsReportedByLastByte) {
  EXPECT_FALSE(split(7, readReply("1A2B3", 'q')).ok);
  EXPECT_FALSE(split(7, fromText("\x1Bs1A2B3?\x1C\x1Br")).ok);
  EXPECT_FALSE(split(7, Bytes{}).ok);
}

TEST(SplitReadReply, MissingEndTakesTheWholeReply) {
  const Bytes reply = fromText("\x1Bs123A45");
  const auto t = split(6, reply);
  EXPECT_EQ(t.t2, "123");
  EXPECT_EQ(t.t3, "45");
}

TEST(SplitReadReply, MissingSeparatorLeavesLaterTracksEmpty) {
  const auto seven = split(7, readReply("123456"));
  EXPECT_EQ(seven.t2, "123456");
  EXPECT_EQ(seven.t3, "");
  EXPECT_EQ(seven.t1, "");
  const auto noB = split(7, readReply("12A34"));
  EXPECT_EQ(noB.t3, "34");
  EXPECT_EQ(noB.t1, "");
}

TEST(SplitReadReply, EndMarkInsideHeaderOrBeforeDataGivesEmptyTracks) {
  for (const char* text : {"?", "\x1B?", "?s1A2B3", "\x1Bs?A1B2", "\x1Bs"}) {
    const Bytes reply = fromText(text);
    for (int selection = 0; selection <= 8; ++selection) {
      const auto r = protocol::splitReadReply(selection, reply);
      expectInside(reply, r);
      EXPECT_EQ(r.track1.length + r.track2.length + r.track3.length, 0u)
          << text << " selection " << selection;
    }
  }
}

TEST(SplitReadReply, SeparatorRightAtTheEnd) {
  const auto t = split(7, readReply("12A34B"));
  EXPECT_EQ(t.t1, "");
  EXPECT_EQ(t.t3, "34");
  const auto a = split(6, readReply("12A"));
  EXPECT_EQ(a.t3, "");
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

TEST(WholeReply, EachKindIsWholeOnlyWithItsLastByte) {
  struct Row {
    bool (*complete)(protocol::ByteView);
    std::string received;
    bool whole;
  };
  const Row rows[] = {
      {protocol::statusAnswerComplete, "\x1br", false},
      {protocol::statusAnswerComplete, "\x1brp", true},
      {protocol::statusAnswerComplete, "rq", true},
      {protocol::statusAnswerComplete, "", false},
      {protocol::readReplyComplete, "\x1bs12r3", false},  // 'r' in a track
      {protocol::readReplyComplete, "\x1bs123?\x1c\x1br", false},
      {protocol::readReplyComplete, "\x1bs123?\x1c\x1brp", true},
      {protocol::readReplyComplete, "\x1bs?\x1c\x1brq", true},
      {protocol::communicationTestReplyComplete, "\x1b", false},
      {protocol::communicationTestReplyComplete, "\x1by", true},
      {protocol::communicationTestReplyComplete, "\x1bx", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.complete(fromText(row.received)), row.whole)
        << testing::PrintToString(row.received);
  }
}
