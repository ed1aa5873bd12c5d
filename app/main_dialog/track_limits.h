// The longest texts the operator can give the three track fields. Longer
// text never goes on the wire from the program.
#pragma once

inline constexpr int kTrack1MaxChars = 76;
inline constexpr int kTrack2MaxChars = 104;
inline constexpr int kTrack3MaxChars = 104;
