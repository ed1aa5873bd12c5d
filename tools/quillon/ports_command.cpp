// quillon ports: the serial devices on this machine, the COMn each is
// reachable as, and whether this user may open it.
#include <algorithm>
#include <iostream>

#include "commands.h"
#include "exit_codes.h"
#include "serial_devices.h"

namespace quillon::cli {

int runPorts(const GlobalOptions& global) {
  const auto devices = portmap::serialDevices();
  if (devices.empty()) {
    if (!global.quiet) std::cerr << "quillon: no serial device found\n";
    return kExitPort;
  }
  std::size_t width = 6;
  for (const auto& device : devices)
    width = std::max(width, device.path.size());
  const auto column = [&](const std::string& text, std::size_t size) {
    return text + std::string(size > text.size() ? size - text.size() : 0, ' ');
  };
  std::cout << column("DEVICE", width + 2) << column("PORT", 10) << "ACCESS\n";
  for (const auto& device : devices) {
    const std::string& advice = device.accessAdvice;
    std::cout << column(device.path, width + 2) << column(device.comNames, 10)
              << (advice.empty() ? "yes" : "no: " + advice) << '\n';
    for (const auto& alias : device.aliases)
      std::cout << "  = " << alias << '\n';
  }
  return kExitDone;
}

}  // namespace quillon::cli
