// The digit-run increment against a model that does the sum the long way:
// the whole digit run as a decimal number, added or subtracted with
// schoolbook arithmetic on strings, then padded back to its width.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "track_increment.h"

namespace {

// a + b for decimal strings without signs.
std::string add(const std::string& a, const std::string& b) {
  std::string out;
  int carry = 0;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
    const int da = i < a.size() ? a[a.size() - 1 - i] - '0' : 0;
    const int db = i < b.size() ? b[b.size() - 1 - i] - '0' : 0;
    out.push_back(static_cast<char>('0' + (da + db + carry) % 10));
    carry = (da + db + carry) / 10;
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::string stripZeros(const std::string& s) {
  const std::size_t first = s.find_first_not_of('0');
  return first == std::string::npos ? "0" : s.substr(first);
}

// a < b as numbers.
bool less(const std::string& a, const std::string& b) {
  const std::string x = stripZeros(a), y = stripZeros(b);
  return x.size() != y.size() ? x.size() < y.size() : x < y;
}

// a - b for a >= b.
std::string subtract(const std::string& a, const std::string& b) {
  std::string out;
  int borrow = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    int d = a[a.size() - 1 - i] - '0' - borrow -
            (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
    borrow = d < 0;
    out.push_back(static_cast<char>('0' + (d + 10) % 10));
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::string padded(const std::string& digits, std::size_t width) {
  const std::string value = stripZeros(digits);
  return value.size() >= width ? value
                               : std::string(width - value.size(), '0') + value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 4) return 0;
  std::int32_t step = 0;
  std::memcpy(&step, data, 4);
  const std::string original(reinterpret_cast<const char*>(data + 4), size - 4);
  std::size_t runStart = original.size();
  while (runStart > 0 && original[runStart - 1] >= '0' &&
         original[runStart - 1] <= '9') {
    --runStart;
  }
  const std::string prefix = original.substr(0, runStart);
  const std::string run = original.substr(runStart);
  const std::string magnitude =
      std::to_string(step < 0 ? -static_cast<std::int64_t>(step) : step);

  std::string text = original;
  const auto outcome = protocol::incrementTrackData(text, step);
  if (run.empty()) {
    FUZZ_CHECK(outcome == protocol::IncrementOutcome::NoDigits);
    FUZZ_CHECK(text == original);
  } else if (step >= 0) {
    FUZZ_CHECK(outcome == protocol::IncrementOutcome::Advanced);
    FUZZ_CHECK(text == prefix + padded(add(run, magnitude), run.size()));
  } else if (less(run, magnitude)) {
    FUZZ_CHECK(outcome == protocol::IncrementOutcome::BelowZero);
    FUZZ_CHECK(text == original);
  } else {
    FUZZ_CHECK(outcome == protocol::IncrementOutcome::Advanced);
    FUZZ_CHECK(text == prefix + padded(subtract(run, magnitude), run.size()));
  }
  return 0;
}
