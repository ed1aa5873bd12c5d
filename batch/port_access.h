// The port the user names and what stands between the user and it.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "port_diagnosis.h"

namespace quillon::batch {

/// The device the user named, as the library's core opens it.
struct PortTarget {
  std::string path;
  std::string name;  ///< as the user gave it, for messages
};

/// "COM3", "com3", "3" (resolved as the library resolves COMn) or a device
/// path ("/dev/ttyUSB0"). Returns the target or a message; `given` names
/// where the port came from in it (the CLI's option, a script's argument).
[[nodiscard]] std::variant<PortTarget, std::string> resolvePort(
    std::string_view argument, std::string_view given = "--port");

/// True when the two names given for ports name the same device: the same
/// words, or the same device once resolved (COM3 and the path it stands
/// for, a link and its device).
[[nodiscard]] bool samePort(const std::string& a, const std::string& b);

/// The ports of --port given several times, or of $QUILLON_PORT separated
/// by commas: a message when one device is named twice, else empty.
[[nodiscard]] std::string portListProblem(
    const std::vector<std::string>& ports);

/// "a,b,c" split at the commas; empty names are dropped.
[[nodiscard]] std::vector<std::string> splitPortList(std::string_view list);

/// Why a device cannot be opened, and what to do about it; asked after an
/// open failed (the library's device handles say the same).
using portmap::portProblem;

}  // namespace quillon::batch
