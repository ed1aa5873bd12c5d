#include "interrupt_source.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace quillon::cli {

InterruptSource::~InterruptSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool InterruptSource::install() {
  // A shell starts background jobs with SIGINT ignored; a batch started
  // that way must still stop cleanly on it.
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  ::signal(SIGHUP, SIG_DFL);
  // A closed output pipe and a file grown past its size limit (a full
  // disk, to the program) are reported by write(), so the program can
  // still name the card it lost and send the reset frame before it ends.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // The terminal going away ends the program as SIGTERM does.
  sigaddset(&signals, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
  // The signal is left pending (never read), so the descriptor stays
  // readable for every later wait and for raised().
  fd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  return fd_ >= 0;
}

bool InterruptSource::raised() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace quillon::cli
