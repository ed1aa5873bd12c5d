// Serial ports are named by number (COM1, COM2 ...). On Linux a number
// resolves to a device path: $ENCODER_COM<n> when set and not empty,
// otherwise /dev/ttyS<n-1>. Both the library and the program use this, so
// that a number names the same device in both.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace portmap {

inline constexpr int kMinPortNumber = 1;
inline constexpr int kMaxPortNumber = 255;

/// The number of a port named "COMn", "comn" or "n"; none for anything
/// else or a number outside 1..255.
[[nodiscard]] std::optional<int> comPortNumber(std::string_view name);

/// The name of the environment variable that overrides port n.
[[nodiscard]] std::string overrideVariable(int portNumber);

/// Why a port number names no device.
enum class Refusal {
  kNumberOutOfRange,  ///< outside 1..255
  kRelativeOverride,  ///< $ENCODER_COM<n> is not an absolute path: the
                      ///< library would open it from the working folder,
                      ///< a serial port class from /dev, so neither does
};

/// A device path, or why there is none (with a sentence for the user).
struct Resolution {
  std::optional<std::string> path;
  std::optional<Refusal> refusal;
  std::string message;  ///< empty when a path was found
};

/// Resolution from an override value already looked up (may be null).
[[nodiscard]] Resolution resolvePort(int portNumber, const char* overrideValue);

/// Resolution against the process environment.
[[nodiscard]] Resolution resolvePort(int portNumber);

/// The path alone: empty when the port names no device.
[[nodiscard]] std::optional<std::string> resolvePortPath(
    int portNumber, const char* overrideValue);
[[nodiscard]] std::optional<std::string> resolvePortPath(int portNumber);

}  // namespace portmap
