// How every reader takes a reply apart: the split of a read reply (no
// segment starts before the track block or reaches past the reply, and
// the status follows the last byte), and the reply tracker that the
// library, Velmora and quillon all follow replies with. The tracker is
// judged against replies as the encoder frames them: a read reply is
// ESC 's', the track block (no '?' in it), '?', FS, then the status answer
// ESC 'r' and the status byte, at most 400 bytes in all. Such a reply is
// whole and has ended exactly at its last byte, cut into pieces of any
// size; a part of one, or one with bytes behind it, is not whole; and any
// bytes are whole only when they are such a reply.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "encoder_protocol.h"
#include "fuzz_check.h"
#include "reply_tracker.h"

namespace {

using protocol::ReplyTracker;
using Kind = ReplyTracker::Kind;

const std::string kHeader = "\x1Bs";
const std::string kBlockEnd = "?\x1C";
const std::string kStatusAnswer = "\x1Br";
constexpr std::size_t kLongestReply = 400;

protocol::ByteView view(const std::string& bytes) {
  return {reinterpret_cast<const protocol::Byte*>(bytes.data()), bytes.size()};
}

ReplyTracker follow(Kind kind, const std::string& reply, std::size_t piece) {
  ReplyTracker tracker(kind);
  const protocol::ByteView all = view(reply);
  for (std::size_t at = 0; at < all.size(); at += piece)
    tracker.take(all.subspan(at, std::min(piece, all.size() - at)));
  return tracker;
}

std::string framedRead(const std::string& block, char status) {
  return kHeader + block + kBlockEnd + kStatusAnswer + status;
}

// The bytes are one read reply as the encoder frames it: rebuilt from its
// own block and status byte, they come out the same.
bool isFramedRead(const std::string& bytes) {
  const std::size_t framing = kHeader.size() + kBlockEnd.size() + 3;
  if (bytes.size() < framing || bytes.size() > kLongestReply) return false;
  const std::string block =
      bytes.substr(kHeader.size(), bytes.size() - framing);
  return block.find('?') == std::string::npos &&
         framedRead(block, bytes.back()) == bytes;
}

bool isFramedStatus(const std::string& bytes) {
  return bytes.size() == 3 && bytes.compare(0, 2, kStatusAnswer) == 0;
}

protocol::ReplyStatus said(char status) {
  if (status == 'p') return protocol::ReplyStatus::Success;
  if (status == 'q') return protocol::ReplyStatus::Failure;
  return protocol::ReplyStatus::Invalid;
}

// The byte after which the tracker first says the reply has ended, fed one
// byte at a time; the reply's size when it never does.
std::size_t endedAt(Kind kind, const std::string& reply) {
  ReplyTracker tracker(kind);
  for (std::size_t i = 0; i < reply.size(); ++i) {
    tracker.take(view(reply).subspan(i, 1));
    if (tracker.ended()) return i + 1;
  }
  return reply.size();
}

// Any bytes: the pieces they come in change nothing, and a reply is whole
// exactly when it is framed as the encoder frames it.
void checkAnyBytes(const std::string& bytes, std::size_t piece) {
  for (const Kind kind : {Kind::ReadReply, Kind::StatusAnswer}) {
    const ReplyTracker once = follow(kind, bytes, bytes.size() + 1);
    const ReplyTracker split = follow(kind, bytes, piece);
    FUZZ_CHECK(once.ended() == split.ended() && once.whole() == split.whole() &&
               once.status() == split.status());
    FUZZ_CHECK(!once.whole() || once.ended());
    const bool framed =
        kind == Kind::ReadReply ? isFramedRead(bytes) : isFramedStatus(bytes);
    FUZZ_CHECK(once.whole() == framed);
    FUZZ_CHECK(once.status() ==
               (framed ? said(bytes.back()) : protocol::ReplyStatus::Invalid));
  }
  const ReplyTracker lineTest = follow(Kind::LineTest, bytes, piece);
  FUZZ_CHECK(lineTest.ended() == (bytes.rfind("\x1By", 0) == 0));
}

// A reply as the encoder frames it, from the input's bytes: whole, ended at
// its last byte and not before, its status what its last byte says; the
// same reply short of its last byte, with bytes behind it, with a framing
// byte changed or longer than the longest reply, is not whole.
void checkFramed(const std::string& data, std::size_t piece) {
  std::string block = data.substr(0, data.size() / 2);
  std::erase(block, '?');
  const char status = data.empty() ? 'p' : data.back();
  const std::string reply = framedRead(block, status);
  const bool fits = reply.size() <= kLongestReply;
  const ReplyTracker read = follow(Kind::ReadReply, reply, piece);
  FUZZ_CHECK(read.whole() == fits);
  FUZZ_CHECK(read.status() ==
             (fits ? said(status) : protocol::ReplyStatus::Invalid));
  if (fits) FUZZ_CHECK(endedAt(Kind::ReadReply, reply) == reply.size());
  FUZZ_CHECK(!follow(Kind::ReadReply, reply.substr(0, reply.size() - 1), piece)
                  .whole());
  const std::string behind = data.substr(data.size() / 2, 3);
  if (!behind.empty()) {
    FUZZ_CHECK(!follow(Kind::ReadReply, reply + behind, piece).whole());
  }

  // Any framing byte changed: not whole.
  const std::size_t n = reply.size();
  for (const std::size_t at :
       {std::size_t{0}, std::size_t{1}, n - 5, n - 4, n - 3, n - 2}) {
    std::string changed = reply;
    changed[at] =
        static_cast<char>(changed[at] ^ (data.empty() ? 1 : data[0] | 1));
    FUZZ_CHECK(!follow(Kind::ReadReply, changed, piece).whole());
  }
  // The longest reply is whole; one byte more is not.
  const std::size_t longest = kLongestReply - framedRead("", status).size();
  const std::string fill = block.empty() ? std::string("1") : block;
  std::string full;
  while (full.size() < longest + 1) full += fill;
  FUZZ_CHECK(follow(Kind::ReadReply,
                    framedRead(full.substr(0, longest), status), piece)
                 .whole());
  FUZZ_CHECK(!follow(Kind::ReadReply,
                     framedRead(full.substr(0, longest + 1), status), piece)
                  .whole());

  const std::string answer = kStatusAnswer + status;
  FUZZ_CHECK(follow(Kind::StatusAnswer, answer, piece).whole());
  FUZZ_CHECK(endedAt(Kind::StatusAnswer, answer) == answer.size());
  FUZZ_CHECK(follow(Kind::StatusAnswer, answer, piece).status() ==
             said(status));
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
  // The status byte is the byte after the first 'r'.
  const auto status = protocol::statusByte(reply);
  const auto r = std::find(reply.begin(), reply.end(), protocol::kStatusMarker);
  FUZZ_CHECK(status.has_value() == (r != reply.end() && r + 1 != reply.end()));
  if (status) FUZZ_CHECK(*status == *(r + 1));
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t piece = data[0] / 10 % 8 + 1;
  checkAnyBytes(bytes, piece);
  checkFramed(bytes, piece);
  return 0;
}
