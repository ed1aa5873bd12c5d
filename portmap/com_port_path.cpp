#include "com_port_path.h"

#include <cstdlib>

namespace portmap {

std::string overrideVariable(int portNumber) {
  return "ENCODER_COM" + std::to_string(portNumber);
}

std::optional<std::string> resolvePortPath(int portNumber,
                                           const char* overrideValue) {
  if (portNumber < kMinPortNumber || portNumber > kMaxPortNumber)
    return std::nullopt;
  if (overrideValue != nullptr && *overrideValue != '\0')
    return std::string(overrideValue);
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::optional<std::string> resolvePortPath(int portNumber) {
  if (portNumber < kMinPortNumber || portNumber > kMaxPortNumber)
    return std::nullopt;
  const std::string name = overrideVariable(portNumber);
  return resolvePortPath(portNumber, std::getenv(name.c_str()));
}

}  // namespace portmap
