// How every reader takes a reply apart: the split of a read reply (no
// segment starts before the track block or reaches past the reply, and
// the status follows the last byte), and the reply tracker that the
// library, Velmora and quillon all follow replies with (fed in pieces of
// any size, it ends each kind of reply where its last byte stands, calls
// whole only a reply framed as the encoder frames it, and takes the status
// of a whole reply alone).
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "encoder_protocol.h"
#include "fuzz_check.h"
#include "reply_tracker.h"

namespace {

using protocol::ReplyTracker;

ReplyTracker follow(ReplyTracker::Kind kind, protocol::ByteView reply,
                    std::size_t piece) {
  ReplyTracker tracker(kind);
  for (std::size_t at = 0; at < reply.size(); at += piece)
    tracker.take(reply.subspan(at, std::min(piece, reply.size() - at)));
  return tracker;
}

// Index of the first `value` at or after `from`, or the reply's size.
std::size_t find(protocol::ByteView reply, std::size_t from,
                 protocol::Byte value) {
  while (from < reply.size() && reply[from] != value) ++from;
  return from;
}

void checkTracker(protocol::ByteView all, std::size_t piece) {
  using Kind = ReplyTracker::Kind;
  const auto reply = all.first(std::min(all.size(), protocol::kMaxReplySize));
  const std::size_t n = reply.size();
  const ReplyTracker read = follow(Kind::ReadReply, all, piece);
  const ReplyTracker status = follow(Kind::StatusAnswer, all, piece);
  const ReplyTracker lineTest = follow(Kind::LineTest, all, piece);
  FUZZ_CHECK(read.size() == n && status.size() == n);

  FUZZ_CHECK(status.ended() == protocol::statusByte(reply).has_value());
  const std::size_t blockEnd = find(reply, 0, protocol::kBlockEnd);
  const std::size_t marker = find(reply, blockEnd, protocol::kStatusMarker);
  FUZZ_CHECK(read.ended() == (blockEnd < n && marker + 1 < n));
  FUZZ_CHECK(lineTest.ended() ==
             (n >= 2 && reply[0] == protocol::kEsc &&
              reply[1] == protocol::kCommunicationTestReply[1]));

  const bool framed =
      all.size() <= protocol::kMaxReplySize && n >= 7 &&
      reply[0] == protocol::kEsc && reply[1] == protocol::kReadReplyHeader[1] &&
      blockEnd == n - 5 && reply[n - 4] == protocol::kFs &&
      reply[n - 3] == protocol::kEsc && reply[n - 2] == protocol::kStatusMarker;
  FUZZ_CHECK(read.whole() == framed);
  FUZZ_CHECK(!read.whole() || read.ended());
  // A status answer is whole only as ESC 'r' and its status byte; only a
  // whole reply's status byte says what the encoder did.
  FUZZ_CHECK(status.whole() == (all.size() == 3 && reply[0] == protocol::kEsc &&
                                reply[1] == protocol::kStatusMarker));
  for (const ReplyTracker* tracker : {&read, &status}) {
    FUZZ_CHECK(tracker->status() ==
               (tracker->whole() ? protocol::classifyStatus(reply[n - 1])
                                 : protocol::ReplyStatus::Invalid));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const int selection = data[0] % 10 - 1;  // -1 .. 8
  const protocol::ByteView reply(data + 1, size - 1);
  const protocol::ReadReply split = protocol::splitReadReply(selection, reply);
  for (const protocol::Segment s : {split.track1, split.track2, split.track3}) {
    FUZZ_CHECK(s.length == 0 || s.offset >= 2);
    FUZZ_CHECK(s.offset <= reply.size() && s.length <= reply.size() - s.offset);
    for (const protocol::Byte b : protocol::segmentBytes(reply, s)) {
      FUZZ_CHECK(b != protocol::kBlockEnd);  // '?' ends the block
    }
  }
  FUZZ_CHECK(split.succeeded ==
             (!reply.empty() && reply.back() == protocol::kStatusSuccess));
  const auto status = protocol::statusByte(reply);
  std::size_t r = 0;
  while (r < reply.size() && reply[r] != protocol::kStatusMarker) ++r;
  FUZZ_CHECK(status.has_value() == (r + 1 < reply.size()));
  if (status) FUZZ_CHECK(*status == reply[r + 1]);
  checkTracker(reply, data[0] / 10 % 8 + 1);
  return 0;
}
