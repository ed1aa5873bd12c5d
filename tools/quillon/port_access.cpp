#include "port_access.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "com_port_path.h"

namespace quillon::cli {

namespace {

std::string joinHint(const std::string& group) {
  return "join the group with: sudo usermod -aG " + group +
         " \"$USER\" (then log in again)";
}

}  // namespace

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

std::string groupNeededFor(const std::string& path) {
  if (::access(path.c_str(), R_OK | W_OK) == 0) return {};
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  const group* owner = ::getgrgid(info.st_gid);
  return owner != nullptr ? owner->gr_name : std::to_string(info.st_gid);
}

std::string portProblem(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return "no such device: " + path +
           " (is the encoder plugged in? quillon ports lists the serial "
           "devices)";
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) {
      const std::string group = groupNeededFor(path);
      return "no permission to open " + path +
             (group.empty()
                  ? std::string()
                  : ": it belongs to group " + group + "; " + joinHint(group));
    }
    if (error == EBUSY) {
      return path + " is in use by another program (fuser -v " + path +
             " shows which)";
    }
    return "cannot open " + path + ": " + std::strerror(error);
  }
  std::string problem = "cannot set up " + path + " as a serial line";
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    problem = path + " is in use by another program (fuser -v " + path +
              " shows which)";
  } else if (!::isatty(fd)) {
    problem = path + " is not a serial device";
  }
  ::close(fd);
  return problem;
}

}  // namespace quillon::cli
