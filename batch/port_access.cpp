#include "port_access.h"

#include <filesystem>
#include <optional>

#include "com_port_path.h"
#include "port_diagnosis.h"

namespace quillon::batch {

std::variant<PortTarget, std::string> resolvePort(std::string_view argument,
                                                  std::string_view given) {
  PortTarget target;
  target.name = std::string(argument);
  if (argument.starts_with('/')) {
    target.path = std::string(argument);
    return target;
  }
  const std::optional<int> number = portmap::comPortNumber(argument);
  if (!number) {
    return std::string(given) +
           " takes COMn or n (1 to 255) or a device path beginning with /, "
           "not \"" +
           std::string(argument) + "\"";
  }
  portmap::Resolution port = portmap::resolvePort(*number);
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

}  // namespace quillon::batch
