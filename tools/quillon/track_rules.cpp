#include "track_rules.h"

namespace quillon::cli {

namespace {

// The operator's program's fields; track 2 holds 37 characters at 75 BPI.
constexpr std::array<std::size_t, 3> kOperatorLimits{76, 104, 104};
constexpr std::size_t kTrack2At75Bpi = 37;

}  // namespace

std::array<std::size_t, 3> trackLimits(const TrackRules& rules) {
  if (rules.lifted) return {0, 0, 0};
  auto limits = kOperatorLimits;
  if (rules.density == 75) limits[1] = kTrack2At75Bpi;
  return limits;
}

std::string overLimitNote(const TrackRules& rules) {
  if (rules.lifted) return {};
  return std::string(" (") +
         (rules.density == 75 ? "track 2 at 75 BPI holds 37; " : "") +
         "--no-track-limits allows up to the encoder's own 199, 129 and 149 "
         "characters)";
}

}  // namespace quillon::cli
