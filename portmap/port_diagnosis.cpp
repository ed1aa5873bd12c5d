#include "port_diagnosis.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace portmap {

namespace {

// The _r forms: several threads (the library's device handles) may be
// diagnosing at once.
std::string groupName(gid_t id) {
  group entry{};
  group* found = nullptr;
  char buffer[4096];
  ::getgrgid_r(id, &entry, buffer, sizeof buffer, &found);
  return found != nullptr ? found->gr_name : std::to_string(id);
}

std::string userName(uid_t id) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  ::getpwuid_r(id, &entry, buffer, sizeof buffer, &found);
  return found != nullptr ? found->pw_name : std::to_string(id);
}

std::string octalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The first folder on the way to `path` that this user may not enter.
std::string firstShutFolder(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::access(folder.c_str(), X_OK) != 0) return folder;
  }
  const std::size_t last = path.rfind('/');
  return last == std::string::npos || last == 0 ? "/" : path.substr(0, last);
}

}  // namespace

std::string accessAdvice(const std::string& path) {
  if (::access(path.c_str(), R_OK | W_OK) == 0) return {};
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  const mode_t groupReadWrite = S_IRGRP | S_IWGRP;
  if ((info.st_mode & groupReadWrite) == groupReadWrite && info.st_gid != 0) {
    const std::string name = groupName(info.st_gid);
    return "it belongs to group " + name +
           "; join the group with: sudo usermod -aG " + name +
           " \"$USER\" (then log in again)";
  }
  const mode_t ownerReadWrite = S_IRUSR | S_IWUSR;
  const std::string who =
      (info.st_mode & ownerReadWrite) == ownerReadWrite
          ? "only its owner (" + userName(info.st_uid) + ") may open it"
          : "no ordinary user may open it";
  return who + " (mode " + octalMode(info.st_mode) +
         "); a udev rule can give it to the dialout group (GROUP=\"dialout\", "
         "MODE=\"0660\"), whose members may then open it, or use a device of "
         "the dialout group";
}

PortDiagnosis diagnosePort(const std::string& path) {
  using Cause = PortDiagnosis::Cause;
  PortDiagnosis found;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    if (error == EACCES) {
      found.cause = Cause::kFolderShut;
      found.folder = firstShutFolder(path);
    } else if (error == ENOENT || error == ENOTDIR) {
      found.cause = Cause::kMissing;
    } else {
      found.cause = Cause::kOther;
      found.error = error;
    }
    return found;
  }
  const int fd =
      ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    found.error = errno;
    switch (found.error) {
      case EACCES:
      case EPERM:
        found.cause = Cause::kNoPermission;
        found.advice = accessAdvice(path);
        break;
      case EBUSY: found.cause = Cause::kInUse; break;  // held exclusively
      case ENOENT:
      case ENODEV:
      case ENXIO: found.cause = Cause::kMissing; break;  // no device behind
      default: found.cause = Cause::kOther; break;
    }
    return found;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    found.cause = Cause::kInUse;
  } else if (::isatty(fd) != 1) {
    found.cause = Cause::kNotATerminal;
  }
  ::close(fd);
  return found;
}

std::string portProblem(const std::string& path) {
  using Cause = PortDiagnosis::Cause;
  const PortDiagnosis found = diagnosePort(path);
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

}  // namespace portmap
