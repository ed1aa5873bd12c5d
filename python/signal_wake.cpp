#include "signal_wake.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

namespace quillon::python {

namespace {

struct sigaction previousAction {};

int wakeFd() {
  static const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd;
}

void onSignal(int number, siginfo_t* info, void* context) {
  const int saved = errno;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto ignored = ::write(wakeFd(), &one, sizeof one);
  errno = saved;
  if ((previousAction.sa_flags & SA_SIGINFO) != 0) {
    previousAction.sa_sigaction(number, info, context);
  } else if (previousAction.sa_handler != SIG_DFL &&
             previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(number);
  }
}

bool isOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == onSignal;
}

}  // namespace

int signalFd() { return wakeFd(); }

bool signalCame() {
  pollfd entry{wakeFd(), POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1;
}

void prepareForWait() {
  struct sigaction current {};
  if (::sigaction(SIGINT, nullptr, &current) == 0 && !isOurs(current)) {
    // Python installs its handler again when a script sets one: chained
    // anew each time. SIG_DFL and SIG_IGN stay as they are (the process
    // ends, or the signal is ignored, as the script asked).
    const bool handled =
        (current.sa_flags & SA_SIGINFO) != 0 ||
        (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
    if (handled) {
      previousAction = current;
      struct sigaction ours = current;
      ours.sa_flags |= SA_SIGINFO;
      ours.sa_sigaction = onSignal;
      ::sigaction(SIGINT, &ours, nullptr);
    }
  }
  std::uint64_t count = 0;
  while (::read(wakeFd(), &count, sizeof count) > 0) {
  }
}

}  // namespace quillon::python
