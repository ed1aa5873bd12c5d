#include "port_access.h"

#include <strings.h>

#include <charconv>
#include <cstring>

#include "com_port_path.h"
#include "port_diagnosis.h"

namespace quillon::cli {

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

}  // namespace quillon::cli
