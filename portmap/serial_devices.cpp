#include "serial_devices.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "com_port_path.h"
#include "port_diagnosis.h"

namespace portmap {

namespace {

namespace fs = std::filesystem;

// A ttyS that the kernel found no UART behind reports type 0.
bool uartPresent(const std::string& name) {
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int value = 0;
  return type >> value && value != 0;
}

// Device paths (canonical) and the other names that lead to them.
std::map<std::string, std::set<std::string>> devicesByPath() {
  std::map<std::string, std::set<std::string>> devices;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    const bool usb = name.starts_with("ttyUSB") || name.starts_with("ttyACM");
    if (usb || (name.starts_with("ttyS") && uartPresent(name)))
      devices[entry.path().string()];
  }
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
    devices[canonicalPath(entry.path().string())].insert(entry.path().string());
  }
  // Devices named by an override variable (a simulated encoder's line).
  for (int n = kMinPortNumber; n <= kMaxPortNumber; ++n) {
    const char* value = std::getenv(overrideVariable(n).c_str());
    if (value != nullptr && *value == '/' && fs::exists(value))
      devices[canonicalPath(value)];
  }
  return devices;
}

std::string comNamesOf(const std::string& device) {
  std::string names;
  for (int n = kMinPortNumber; n <= kMaxPortNumber; ++n) {
    const auto path = resolvePortPath(n);
    if (path && fs::exists(*path) && canonicalPath(*path) == device)
      names += (names.empty() ? "COM" : ",COM") + std::to_string(n);
  }
  return names.empty() ? "-" : names;
}

}  // namespace

std::string canonicalPath(const std::string& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return error ? path : real.string();
}

std::vector<SerialDevice> serialDevices() {
  std::vector<SerialDevice> devices;
  for (auto& [path, aliases] : devicesByPath()) {
    devices.push_back(
        {path, std::move(aliases), comNamesOf(path), accessAdvice(path)});
  }
  return devices;
}

}  // namespace portmap
