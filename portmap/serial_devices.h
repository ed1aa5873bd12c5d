// The serial devices on this machine: what `quillon ports` and the Python
// module's ports() list.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace portmap {

struct SerialDevice {
  std::string path;               ///< canonical
  std::set<std::string> aliases;  ///< other names that lead to it (by-id)
  std::string comNames;           ///< "COM1,COM3", or "-" for none
  /// Empty when this user may open it, else why not and what to do.
  std::string accessAdvice;
};

/// USB serial adapters, ttyS devices with a UART behind them, the devices
/// of /dev/serial/by-id, and devices an ENCODER_COMn override names; by
/// path.
[[nodiscard]] std::vector<SerialDevice> serialDevices();

/// The device a name leads to (links followed), or the name when it leads
/// nowhere: how serialDevices() keys its devices.
[[nodiscard]] std::string canonicalPath(const std::string& path);

}  // namespace portmap
