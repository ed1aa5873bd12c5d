// Velmora's byte-by-byte read parsing: a reply cut into events anywhere
// parses as the same texts as the reply in one event, and no text takes
// more bytes than the reply has. Bytes pass the reply watch first, as in
// the program: the texts never hold more than the longest reply, and a
// reply counts as whole exactly when a plain model says so.
#include <algorithm>
#include <cstddef>
#include <cstdint>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const int selection = data[0] % 8;
  const std::size_t piece = data[1] % 8 + 1;
  const std::uint8_t* reply = data + 2;
  const std::size_t n = size - 2;
  const Texts once = parse(selection, reply, n, n + 1);
  const Texts split = parse(selection, reply, n, piece);
  FUZZ_CHECK(once.t1 == split.t1 && once.t2 == split.t2 &&
             once.t3 == split.t3 && once.whole == split.whole);
  const auto limit = static_cast<std::size_t>(ReadReplyWatch::kMaxReplyBytes);
  FUZZ_CHECK(static_cast<std::size_t>(once.t1.size() + once.t2.size() +
                                      once.t3.size()) <= std::min(n, limit));
  const bool wholeModel =
      n >= 2 && n <= limit && reply[0] == 0x1B && reply[1] == 's' &&
      std::find(reply, reply + n, 0x1C) != reply + n && reply[n - 2] == 'r';
  FUZZ_CHECK(once.whole == wholeModel);
  FUZZ_CHECK(!once.t1.contains('\x1c') && !once.t2.contains('?') &&
             !once.t3.contains('\x1b'));
  return 0;
}
