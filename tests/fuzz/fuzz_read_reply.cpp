// The library's split of a read reply: no segment starts before the track
// block or reaches past the reply, and the status follows the last byte.
#include <cstddef>
#include <cstdint>

#include "encoder_protocol.h"
#include "fuzz_check.h"

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
  return 0;
}
