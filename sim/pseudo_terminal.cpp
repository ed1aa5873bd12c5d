#include "pseudo_terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

PseudoTerminal::~PseudoTerminal() { close(); }

bool PseudoTerminal::fail(const char* what) {
  error_ = std::string(what) + ": " + std::strerror(errno);
  close();
  return false;
}

bool PseudoTerminal::open() {
  close();
  error_.clear();
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0) return fail("posix_openpt");
  if (::grantpt(master_) != 0) return fail("grantpt");
  if (::unlockpt(master_) != 0) return fail("unlockpt");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname_r");
  slavePath_ = name;
  keptSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (keptSlave_ < 0) return fail("open slave");
  termios settings{};
  if (::tcgetattr(keptSlave_, &settings) != 0) return fail("tcgetattr");
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(keptSlave_, TCSANOW, &settings) != 0) {
    return fail("tcsetattr");
  }
  return true;
}

void PseudoTerminal::close() {
  if (keptSlave_ >= 0) ::close(keptSlave_);
  if (master_ >= 0) ::close(master_);
  keptSlave_ = -1;
  master_ = -1;
  slavePath_.clear();
}

}  // namespace sim
