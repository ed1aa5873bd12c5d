#include "track_increment.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using protocol::IncrementOutcome;

namespace {

struct IncrementCase {
  std::string text;
  std::int32_t step;
  std::string expected;
  IncrementOutcome outcome;
};

TEST(IncrementTrackData, AdvancesTheDigitRunAtTheEnd) {
  const std::string run105(105, '9');
  const std::vector<IncrementCase> cases = {
      {"0099", 1, "0100", IncrementOutcome::Advanced},
      {"99", 1, "100", IncrementOutcome::Advanced},
      {"A9", 1, "A10", IncrementOutcome::Advanced},
      {"ABC", 1, "ABC", IncrementOutcome::NoDigits},
      {"", 1, "", IncrementOutcome::NoDigits},
      {"12X", 1, "12X", IncrementOutcome::NoDigits},
      {"ID-998", 3, "ID-1001", IncrementOutcome::Advanced},
      {"12", 250, "262", IncrementOutcome::Advanced},
      {"5", 100, "105", IncrementOutcome::Advanced},
      {"0000000009", 1, "0000000010", IncrementOutcome::Advanced},
      {"7", 0, "7", IncrementOutcome::Advanced},
      // A carry far beyond one digit never overflows.
      {"9", INT32_MAX, "2147483656", IncrementOutcome::Advanced},
      {run105, 1, "1" + std::string(105, '0'), IncrementOutcome::Advanced},
      // Negative steps subtract with borrow and keep the width.
      {"0100", -1, "0099", IncrementOutcome::Advanced},
      {"100", -1, "099", IncrementOutcome::Advanced},
      {"X15", -5, "X10", IncrementOutcome::Advanced},
      {"0005", -5, "0000", IncrementOutcome::Advanced},
      {"0005", -6, "0005", IncrementOutcome::BelowZero},
      {"2147483648", INT32_MIN, "0000000000", IncrementOutcome::Advanced},
      {"99", INT32_MIN, "99", IncrementOutcome::BelowZero},
  };
  for (const IncrementCase& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(protocol::incrementTrackData(text, c.step), c.outcome)
        << c.text << " step " << c.step;
    EXPECT_EQ(text, c.expected) << c.text << " step " << c.step;
  }
}

}  // namespace
