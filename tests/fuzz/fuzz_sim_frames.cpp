// The simulated encoder's frame cutting: bytes fed in pieces give the same
// frames as fed at once, and no byte is lost or invented.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frame_parser.h"
#include "fuzz_check.h"

namespace {

std::vector<std::uint8_t> concatenated(const std::vector<sim::Frame>& frames,
                                       const std::vector<std::uint8_t>& tail) {
  std::vector<std::uint8_t> all;
  for (const sim::Frame& f : frames) {
    all.insert(all.end(), f.bytes.begin(), f.bytes.end());
  }
  all.insert(all.end(), tail.begin(), tail.end());
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = data[0] % 16 + 1;  // bytes per read
  const std::span<const std::uint8_t> input(data + 1, size - 1);

  sim::FrameParser whole;
  const std::vector<sim::Frame> once = whole.feed(input);
  FUZZ_CHECK(concatenated(once, whole.pending()) ==
             std::vector<std::uint8_t>(input.begin(), input.end()));

  sim::FrameParser split;
  std::vector<sim::Frame> pieces;
  for (std::size_t at = 0; at < input.size(); at += piece) {
    for (sim::Frame& f :
         split.feed(input.subspan(at, std::min(piece, input.size() - at)))) {
      pieces.push_back(std::move(f));
    }
  }
  FUZZ_CHECK(pieces.size() == once.size());
  for (std::size_t i = 0; i < once.size(); ++i) {
    FUZZ_CHECK(pieces[i].kind == once[i].kind);
    FUZZ_CHECK(pieces[i].bytes == once[i].bytes);
    FUZZ_CHECK(pieces[i].block == once[i].block);
  }
  FUZZ_CHECK(split.pending() == whole.pending());
  return 0;
}
