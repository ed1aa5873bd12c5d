// Serial ports are named by number (COM1, COM2 ...). On Linux a number
// resolves to a device path: $ENCODER_COM<n> when set and not empty,
// otherwise /dev/ttyS<n-1>. Both the library and the program use this.
#pragma once

#include <optional>
#include <string>

namespace portmap {

inline constexpr int kMinPortNumber = 1;
inline constexpr int kMaxPortNumber = 255;

/// The name of the environment variable that overrides port n.
[[nodiscard]] std::string overrideVariable(int portNumber);

/// Resolution from an override value already looked up (may be null).
/// Empty for a number outside 1..255.
[[nodiscard]] std::optional<std::string> resolvePortPath(
    int portNumber, const char* overrideValue);

/// Resolution against the process environment.
[[nodiscard]] std::optional<std::string> resolvePortPath(int portNumber);

}  // namespace portmap
