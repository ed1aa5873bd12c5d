// quillon ports: the serial devices on this machine, the COMn each is
// reachable as, and whether this user may open it.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "com_port_path.h"
#include "commands.h"
#include "exit_codes.h"
#include "port_diagnosis.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;

std::string canonical(const std::string& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return error ? path : real.string();
}

// A ttyS that the kernel found no UART behind reports type 0.
bool uartPresent(const std::string& name) {
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int value = 0;
  return type >> value && value != 0;
}

// Device paths (canonical) and the other names that lead to them.
std::map<std::string, std::set<std::string>> serialDevices() {
  std::map<std::string, std::set<std::string>> devices;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    const bool usb = name.starts_with("ttyUSB") || name.starts_with("ttyACM");
    if (usb || (name.starts_with("ttyS") && uartPresent(name)))
      devices[entry.path().string()];
  }
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
    devices[canonical(entry.path().string())].insert(entry.path().string());
  }
  // Devices named by an override variable (a simulated encoder's line).
  for (int n = portmap::kMinPortNumber; n <= portmap::kMaxPortNumber; ++n) {
    const char* value = std::getenv(portmap::overrideVariable(n).c_str());
    if (value != nullptr && *value == '/' && fs::exists(value))
      devices[canonical(value)];
  }
  return devices;
}

std::string comNamesOf(const std::string& device) {
  std::string names;
  for (int n = portmap::kMinPortNumber; n <= portmap::kMaxPortNumber; ++n) {
    const auto path = portmap::resolvePortPath(n);
    if (path && fs::exists(*path) && canonical(*path) == device)
      names += (names.empty() ? "COM" : ",COM") + std::to_string(n);
  }
  return names.empty() ? "-" : names;
}

}  // namespace

int runPorts(const GlobalOptions& global) {
  const auto devices = serialDevices();
  if (devices.empty()) {
    if (!global.quiet) std::cerr << "quillon: no serial device found\n";
    return kExitPort;
  }
  std::size_t width = 6;
  for (const auto& [device, aliases] : devices)
    width = std::max(width, device.size());
  const auto column = [&](const std::string& text, std::size_t size) {
    return text + std::string(size > text.size() ? size - text.size() : 0, ' ');
  };
  std::cout << column("DEVICE", width + 2) << column("PORT", 10) << "ACCESS\n";
  for (const auto& [device, aliases] : devices) {
    const std::string advice = portmap::accessAdvice(device);
    std::cout << column(device, width + 2) << column(comNamesOf(device), 10)
              << (advice.empty() ? "yes" : "no: " + advice) << '\n';
    for (const auto& alias : aliases) std::cout << "  = " << alias << '\n';
  }
  return kExitDone;
}

}  // namespace quillon::cli
