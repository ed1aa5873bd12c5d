// The port the user names and what stands between the user and it.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace quillon::cli {

/// The device the user named, as the library's core opens it.
struct PortTarget {
  std::string path;
  std::string name;  ///< as the user gave it, for messages
};

/// "COM3", "com3", "3" (resolved as the library resolves COMn) or a device
/// path ("/dev/ttyUSB0"). Returns the target or a message.
[[nodiscard]] std::variant<PortTarget, std::string> resolvePort(
    std::string_view argument);

/// Why a device cannot be opened, and what to do about it: missing, in
/// use, no permission, not a terminal. Asked after an open failed.
[[nodiscard]] std::string portProblem(const std::string& path);

/// The group that owns the device, when the user is not allowed to open it
/// for reading and writing; empty when the user may.
[[nodiscard]] std::string groupNeededFor(const std::string& path);

}  // namespace quillon::cli
