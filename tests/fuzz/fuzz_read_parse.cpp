// Velmora's byte-by-byte read parsing, through the reply watch as in the
// program. Any bytes: a reply cut into events anywhere parses as the same
// texts as the reply in one event, no text takes more bytes than the reply
// has (nor more than the longest reply), and what the watch calls whole
// has the shape every read reply has. A reply built as the encoder sends
// it (first input byte with its top bit set): whole, and the texts come
// back as they were put in, however the reply is cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "read_reply_parser.h"
#include "read_reply_watch.h"

namespace {

struct Texts {
  QByteArray t1, t2, t3;
  bool whole = false;
};

Texts parse(int selection, const std::uint8_t* reply, std::size_t size,
            std::size_t piece) {
  BOOL inTrack1 = FALSE, inTrack3 = FALSE, ended = FALSE, marker = FALSE;
  int count = 0;
  Texts out;
  ReadParseState state{inTrack1, inTrack3, ended,  marker,
                       count,    out.t1,   out.t2, out.t3};
  ReadReplyWatch watch;
  // Each event's bytes are parsed in turn; the state carries over.
  for (std::size_t at = 0; at < size; at += piece) {
    for (std::size_t i = at; i < size && i < at + piece; ++i) {
      if (watch.take(reply[i])) parseReadByte(selection, reply[i], state);
    }
  }
  out.whole = watch.whole();
  return out;
}

void checkAnyBytes(int selection, const std::uint8_t* reply, std::size_t n,
                   std::size_t piece) {
  const Texts once = parse(selection, reply, n, n + 1);
  const Texts split = parse(selection, reply, n, piece);
  FUZZ_CHECK(once.t1 == split.t1 && once.t2 == split.t2 &&
             once.t3 == split.t3 && once.whole == split.whole);
  const std::size_t limit = protocol::kMaxReplySize;
  FUZZ_CHECK(static_cast<std::size_t>(once.t1.size() + once.t2.size() +
                                      once.t3.size()) <= std::min(n, limit));
  FUZZ_CHECK(!once.t1.contains('\x1c') && !once.t2.contains('?') &&
             !once.t3.contains('\x1b'));
  // A read reply starts with ESC 's', has FS after its block, ends with
  // the status answer ('r' and the status byte) and is at most 400 bytes.
  if (once.whole) {
    FUZZ_CHECK(n >= 4 && n <= limit && reply[0] == 0x1B && reply[1] == 's' &&
               std::find(reply, reply + n, 0x1C) != reply + n &&
               reply[n - 2] == 'r');
  }
}

// A track's characters as a card carries them: track 1 the 64 characters
// from space to '_', tracks 2 and 3 the 16 from '0' to '?'; the '?' that
// ends the block never stands in a text.
std::string trackText(const std::uint8_t*& at, const std::uint8_t* end,
                      bool alphanumeric, std::size_t longest) {
  std::string text;
  const std::size_t length = at < end ? *at++ % (longest + 1) : 0;
  for (std::size_t i = 0; i < length && at < end; ++i) {
    const int span = alphanumeric ? 64 : 16;
    const char c =
        static_cast<char>((alphanumeric ? 0x20 : 0x30) + *at++ % span);
    if (c != '?') text.push_back(c);
  }
  return text;
}

void checkEncoderReply(int selection, const std::uint8_t* at,
                       const std::uint8_t* end, std::size_t piece) {
  const std::string t1 = trackText(at, end, true, 79);
  const std::string t2 = trackText(at, end, false, 40);
  const std::string t3 = trackText(at, end, false, 107);
  const char status = at < end && (*at & 1) ? 'q' : 'p';
  // The block: track 2, 'A', track 3, 'B', track 1; a track not read
  // drops out with the separator in front of it.
  std::string block = (selection & 2) ? t2 : "";
  if (selection & 4) block += "A" + t3;
  if (selection & 1) block += "B" + t1;
  const std::string reply =
      std::string("\x1Bs") + block + "?\x1C\x1Br" + status;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(reply.data());
  const Texts got = parse(selection, bytes, reply.size(), piece);
  FUZZ_CHECK(got.whole);
  FUZZ_CHECK(got.t1.toStdString() == ((selection & 1) ? t1 : ""));
  FUZZ_CHECK(got.t2.toStdString() == ((selection & 2) ? t2 : ""));
  FUZZ_CHECK(got.t3.toStdString() == ((selection & 4) ? t3 : ""));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = data[1] % 8 + 1;
  if (data[0] & 0x80) {
    // The selections that have a read command.
    static constexpr int kReadable[] = {1, 2, 3, 4, 6, 7};
    checkEncoderReply(kReadable[data[0] % 6], data + 2, data + size, piece);
  } else {
    checkAnyBytes(data[0] % 8, data + 2, size - 2, piece);
  }
  return 0;
}
