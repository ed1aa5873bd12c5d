#include "track_increment.h"

#include <cstddef>

namespace protocol {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/// Index of the first digit of the digit run at the end of `text`.
std::size_t digitRunStart(const std::string& text) {
  std::size_t start = text.size();
  while (start > 0 && isDigit(text[start - 1])) --start;
  return start;
}

void addToRun(std::string& text, std::size_t runStart, std::int64_t carry) {
  for (std::size_t i = text.size(); i > runStart && carry > 0; --i) {
    const std::int64_t sum = (text[i - 1] - '0') + carry;
    text[i - 1] = static_cast<char>('0' + sum % 10);
    carry = sum / 10;
  }
  if (carry > 0) text.insert(runStart, std::to_string(carry));
}

bool subtractFromRun(std::string& text, std::size_t runStart,
                     std::int64_t amount) {
  std::string result = text;
  std::int64_t borrow = amount;
  for (std::size_t i = result.size(); i > runStart && borrow > 0; --i) {
    std::int64_t digit = (result[i - 1] - '0') - borrow % 10;
    borrow /= 10;
    if (digit < 0) {
      digit += 10;
      ++borrow;
    }
    result[i - 1] = static_cast<char>('0' + digit);
  }
  if (borrow > 0) return false;
  text.swap(result);
  return true;
}

}  // namespace

IncrementOutcome incrementTrackData(std::string& text, std::int32_t step) {
  const std::size_t runStart = digitRunStart(text);
  if (runStart == text.size()) return IncrementOutcome::NoDigits;
  if (step >= 0) {
    addToRun(text, runStart, step);
    return IncrementOutcome::Advanced;
  }
  return subtractFromRun(text, runStart, -static_cast<std::int64_t>(step))
             ? IncrementOutcome::Advanced
             : IncrementOutcome::BelowZero;
}

}  // namespace protocol
