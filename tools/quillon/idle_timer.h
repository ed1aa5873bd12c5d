// How long a read may go without a card: a timer beside the interrupt
// descriptor, as one descriptor that a wait on the encoder polls. The wait
// ends when either is readable; the caller asks which.
#pragma once

#include <chrono>

namespace quillon::cli {

class IdleTimer {
 public:
  /// Watches `interruptFd` (interrupt_source.h) beside the timer.
  explicit IdleTimer(int interruptFd);
  ~IdleTimer();
  IdleTimer(const IdleTimer&) = delete;
  IdleTimer& operator=(const IdleTimer&) = delete;

  /// False when the descriptors could not be made.
  [[nodiscard]] bool ready() const { return epollFd_ >= 0 && timerFd_ >= 0; }
  /// Readable once the timer has run out or a signal has come.
  [[nodiscard]] int fd() const { return epollFd_; }
  /// Runs the timer anew for `limit`; zero: no limit.
  void restart(std::chrono::seconds limit);
  /// True once the time given to restart() has passed.
  [[nodiscard]] bool expired() const;

 private:
  int epollFd_ = -1;
  int timerFd_ = -1;
};

}  // namespace quillon::cli
