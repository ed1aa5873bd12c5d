#include "com_port_path.h"

#include <strings.h>

#include <charconv>
#include <cstdlib>

namespace portmap {

std::optional<int> comPortNumber(std::string_view name) {
  if (name.size() > 3 && strncasecmp(name.data(), "COM", 3) == 0)
    name.remove_prefix(3);
  int number = 0;
  const auto [end, error] =
      std::from_chars(name.data(), name.data() + name.size(), number);
  if (error != std::errc() || end != name.data() + name.size() ||
      number < kMinPortNumber || number > kMaxPortNumber)
    return std::nullopt;
  return number;
}

std::string overrideVariable(int portNumber) {
  return "ENCODER_COM" + std::to_string(portNumber);
}

Resolution resolvePort(int portNumber, const char* overrideValue) {
  if (portNumber < kMinPortNumber || portNumber > kMaxPortNumber) {
    return {std::nullopt, Refusal::kNumberOutOfRange,
            "Invalid port number " + std::to_string(portNumber) +
                ": serial ports are numbered from " +
                std::to_string(kMinPortNumber) + " to " +
                std::to_string(kMaxPortNumber) + "."};
  }
  if (overrideValue == nullptr || *overrideValue == '\0')
    return {"/dev/ttyS" + std::to_string(portNumber - 1), std::nullopt, {}};
  if (*overrideValue != '/') {
    const std::string variable = overrideVariable(portNumber);
    return {std::nullopt, Refusal::kRelativeOverride,
            variable + " is \"" + overrideValue +
                "\", which is not an absolute path: set " + variable +
                " to the device's absolute path, such as /dev/ttyUSB0."};
  }
  return {std::string(overrideValue), std::nullopt, {}};
}

Resolution resolvePort(int portNumber) {
  if (portNumber < kMinPortNumber || portNumber > kMaxPortNumber)
    return resolvePort(portNumber, nullptr);
  const std::string name = overrideVariable(portNumber);
  return resolvePort(portNumber, std::getenv(name.c_str()));
}

std::optional<std::string> resolvePortPath(int portNumber,
                                           const char* overrideValue) {
  return resolvePort(portNumber, overrideValue).path;
}

std::optional<std::string> resolvePortPath(int portNumber) {
  return resolvePort(portNumber).path;
}

}  // namespace portmap
