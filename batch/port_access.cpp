#include "port_access.h"

#include <strings.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <optional>

#include "com_port_path.h"
#include "port_diagnosis.h"

namespace quillon::batch {

std::variant<PortTarget, std::string> resolvePort(std::string_view argument) {
  PortTarget target;
  target.name = std::string(argument);
  if (argument.starts_with('/')) {
    target.path = std::string(argument);
    return target;
  }
  std::string_view digits = argument;
  if (digits.size() > 3 && strncasecmp(digits.data(), "COM", 3) == 0)
    digits.remove_prefix(3);
  int number = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() ||
      number < portmap::kMinPortNumber || number > portmap::kMaxPortNumber) {
    return "--port takes COMn or n (1 to 255) or a device path beginning "
           "with /, not \"" +
           std::string(argument) + "\"";
  }
  portmap::Resolution port = portmap::resolvePort(number);
  if (!port.path) return port.message;  // a relative ENCODER_COMn
  target.path = std::move(*port.path);
  return target;
}

namespace {

// The device a name stands for, links followed where they can be.
std::optional<std::string> deviceOf(const std::string& name) {
  const auto target = resolvePort(name);
  const auto* port = std::get_if<PortTarget>(&target);
  if (port == nullptr) return std::nullopt;
  std::error_code error;
  const auto real = std::filesystem::canonical(port->path, error);
  return error ? port->path : real.string();
}

}  // namespace

bool samePort(const std::string& a, const std::string& b) {
  if (a == b) return true;
  const auto first = deviceOf(a);
  return first && first == deviceOf(b);
}

std::string portListProblem(const std::vector<std::string>& ports) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (samePort(ports[j], ports[i])) {
        return "--port names one encoder twice: " + ports[j] +
               (ports[j] == ports[i] ? "" : " and " + ports[i]);
      }
    }
  }
  return {};
}

std::vector<std::string> splitPortList(std::string_view list) {
  std::vector<std::string> ports;
  for (std::size_t from = 0; from <= list.size();) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    if (comma > from) ports.emplace_back(list.substr(from, comma - from));
    from = comma + 1;
  }
  return ports;
}

std::string portProblem(const std::string& path) {
  using Cause = portmap::PortDiagnosis::Cause;
  const portmap::PortDiagnosis found = portmap::diagnosePort(path);
  switch (found.cause) {
    case Cause::kMissing:
      return "no such device: " + path +
             " (is the encoder plugged in? quillon ports lists the serial "
             "devices)";
    case Cause::kFolderShut:
      return "cannot reach " + path + ": this user cannot enter the folder " +
             found.folder;
    case Cause::kNoPermission:
      return "no permission to open " + path +
             (found.advice.empty() ? "" : ": " + found.advice);
    case Cause::kInUse:
      return path + " is in use by another program (fuser -v " + path +
             " shows which)";
    case Cause::kNotATerminal: return path + " is not a serial device";
    case Cause::kOther:
      return "cannot open " + path + ": " + std::strerror(found.error);
    case Cause::kNone: break;
  }
  return "cannot set up " + path + " as a serial line";
}

}  // namespace quillon::batch
