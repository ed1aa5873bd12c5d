#include "port_number.h"

#include <QByteArray>
#include <array>
#include <climits>
#include <cstdint>

namespace {

constexpr int kSkippedChars = 3;
constexpr std::size_t kBufferSize = 20;  // holds 19 characters and a zero

// The white space atoi skips in the "C" locale.
bool isCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// atoi over a zero-terminated buffer, defined for every input: a value
// beyond int saturates instead of overflowing.
int saturatingAtoi(const char* text) {
  while (isCSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  // Accumulate as a negative number so INT_MIN itself fits.
  std::int64_t value = 0;
  for (; isDigit(*text); ++text) {
    value = value * 10 - (*text - '0');
    if (value < INT_MIN) {
      value = INT_MIN - std::int64_t{1};  // keep it saturated, stop growing
    }
  }
  if (negative) return value < INT_MIN ? INT_MIN : static_cast<int>(value);
  if (value < -std::int64_t{INT_MAX}) return INT_MAX;
  return static_cast<int>(-value);
}

}  // namespace

short PortNumberFromName(const QString& portName) {
  std::array<char, kBufferSize> buffer{};
  const QByteArray bytes = portName.toLatin1();
  for (qsizetype from = kSkippedChars, to = 0;
       from < bytes.size() && to < static_cast<qsizetype>(kBufferSize) - 1;
       ++from, ++to) {
    buffer[static_cast<std::size_t>(to)] = bytes[from];
  }
  // Low 16 bits, two's complement: a well-defined conversion since C++20.
  return static_cast<short>(saturatingAtoi(buffer.data()));
}

bool IsDevicePathName(const QString& portName) {
  return portName.startsWith(QLatin1Char('/'));
}
