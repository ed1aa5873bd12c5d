#include "pseudo_terminal.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
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
  // Watched after our own open, so only other openers are counted. A
  // system without inotify keeps the line as it was.
  watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 &&
      ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE) < 0) {
    ::close(watch_);
    watch_ = -1;
  }
  openers_ = 0;
  return true;
}

void PseudoTerminal::takeOpenerEvents() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(watch_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_OPEN) ++openers_;
      if ((event->mask & IN_CLOSE) && openers_ > 0) --openers_;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (openers_ == 0 && keptSlave_ >= 0) ::ioctl(keptSlave_, TIOCNXCL);
}

void PseudoTerminal::close() {
  if (watch_ >= 0) ::close(watch_);
  if (keptSlave_ >= 0) ::close(keptSlave_);
  if (master_ >= 0) ::close(master_);
  watch_ = -1;
  keptSlave_ = -1;
  master_ = -1;
  slavePath_.clear();
}

}  // namespace sim
