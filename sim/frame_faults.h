// A schedule of line faults for the simulated encoder, keyed by the frame
// that sets each one off. One fault a line; '#' starts a comment:
//
//   FRAME cut BYTES MS   the next reply: BYTES bytes, a pause of MS ms, the
//   rest FRAME late MS        the next reply goes out MS ms late (after the
//   frames
//                        that come meanwhile, whose replies wait behind it)
//   FRAME twice MS       the next reply goes out again MS ms after itself
//   FRAME noise COUNT    COUNT bytes of noise go out at once, before the
//                        frame is answered
//   FRAME hangup         the line hangs up once the frame is received
//
// FRAME counts the frames the encoder received since it started, from 1;
// "the next reply" is the first one sent after that frame arrived.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sim {

struct FrameFault {
  enum class Kind { Cut, Late, Twice, Noise, Hangup };
  std::size_t frame = 0;
  Kind kind = Kind::Cut;
  int count = 0;  ///< bytes before the cut, or bytes of noise
  int ms = 0;     ///< the pause, the lateness, or the gap before the copy
};

/// The schedule's faults in the text's order, or a message naming the
/// line that is not a fault.
[[nodiscard]] std::variant<std::vector<FrameFault>, std::string>
parseFrameFaults(std::string_view text);

/// `count` bytes of noise, the same for the same frame: no run replays
/// differently.
[[nodiscard]] std::vector<std::uint8_t> noiseBytes(std::size_t frame,
                                                   int count);

}  // namespace sim
