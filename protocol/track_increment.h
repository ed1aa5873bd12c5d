// Counting card numbers up (or down) from card to card: the decimal
// number at the end of a track text advances by a step, digit by digit,
// so it may be longer than any machine integer.
#pragma once

#include <cstdint>
#include <string>

namespace protocol {

enum class IncrementOutcome {
  Advanced,  ///< the digit run at the end of the text was advanced
  NoDigits,  ///< the text does not end in a digit; it is unchanged
  BelowZero  ///< a negative step would pass below zero; text unchanged
};

/// Adds `step` to the run of digits '0'..'9' at the end of `text`.
/// The run keeps its width and leading zeros and grows only when the sum
/// overflows it ("0099" + 1 is "0100", "99" + 1 is "100", "A9" + 1 is
/// "A10"). A negative step subtracts with borrow, width kept ("0100" - 1
/// is "0099"); a result below zero would repeat or invent card numbers,
/// so the text is then left as it was. Every step of a signed 32-bit
/// value works, the extremes included.
IncrementOutcome incrementTrackData(std::string& text, std::int32_t step);

}  // namespace protocol
