// The track texts a write takes by default, as the operator's program
// takes them: track 1 at most 76 characters and upper-cased, tracks 2 and
// 3 at most 104 (track 2 at most 37 at 75 BPI). --no-track-limits lifts
// the lengths to the encoder's own (199, 129, 149) for special cards;
// --keep-case writes track 1 as given.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace quillon::cli {

struct TrackRules {
  bool lifted = false;         ///< --no-track-limits
  bool keepCase = false;       ///< --keep-case
  std::optional<int> density;  ///< --density: track 2's bits per inch
};

/// The most characters of tracks 1 to 3 (0: the encoder's own limit).
[[nodiscard]] std::array<std::size_t, 3> trackLimits(const TrackRules& rules);
/// Added to a message about a text over one of trackLimits().
[[nodiscard]] std::string overLimitNote(const TrackRules& rules);
/// Said once when track 1 was upper-cased.
inline constexpr const char* kUpperCasedNote =
    "track 1 is written in capitals, as the operator's program writes it "
    "(--keep-case writes it as given)";

}  // namespace quillon::cli
