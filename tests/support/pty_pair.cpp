#include "pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

namespace quillon_test {

PtyPair::PtyPair() : LineEnd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  char name[128] = {};
  if (!isOpen() || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0 ||
      ::ptsname_r(fd_, name, sizeof name) != 0) {
    error_ = std::string("no pseudo-terminal: ") + std::strerror(errno);
    close();
    return;
  }
  slavePath_ = name;
}

int PtyPair::openSlave() const {
  return ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace quillon_test
