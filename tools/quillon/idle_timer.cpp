#include "idle_timer.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace quillon::cli {

namespace {

bool watch(int epollFd, int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

IdleTimer::IdleTimer(int interruptFd)
    : epollFd_(::epoll_create1(EPOLL_CLOEXEC)),
      timerFd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
  // An epoll descriptor is readable while one it watches is: one
  // descriptor for the encoder's wait to poll.
  if (!ready() || !watch(epollFd_, timerFd_) ||
      (interruptFd >= 0 && !watch(epollFd_, interruptFd))) {
    if (epollFd_ >= 0) ::close(epollFd_);
    epollFd_ = -1;
  }
}

IdleTimer::~IdleTimer() {
  if (epollFd_ >= 0) ::close(epollFd_);
  if (timerFd_ >= 0) ::close(timerFd_);
}

void IdleTimer::restart(std::chrono::seconds limit) {
  itimerspec expiry{};  // zero disarms it, and a disarmed timer is not readable
  expiry.it_value.tv_sec = static_cast<time_t>(limit.count());
  ::timerfd_settime(timerFd_, 0, &expiry, nullptr);
}

bool IdleTimer::expired() const {
  pollfd p{timerFd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace quillon::cli
