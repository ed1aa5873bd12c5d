// The port number from a port name, against the C library's strtol over
// the same 19 characters, saturated to int and kept to 16 bits.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_check.h"
#include "port_number.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const QByteArray latin1(reinterpret_cast<const char*>(data),
                          static_cast<qsizetype>(size));
  const QString name = QString::fromLatin1(latin1);
  char buffer[20] = {};
  for (std::size_t from = 3, to = 0; from < size && to < 19; ++from, ++to) {
    buffer[to] = static_cast<char>(data[from]);
  }
  errno = 0;
  long value = std::strtol(buffer, nullptr, 10);
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  FUZZ_CHECK(PortNumberFromName(name) == static_cast<short>(value));
  FUZZ_CHECK(IsDevicePathName(name) == (size > 0 && data[0] == '/'));
  return 0;
}
