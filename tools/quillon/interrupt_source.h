// Ctrl-C, SIGTERM and SIGHUP (the terminal went away) as a descriptor. The
// three signals are blocked and arrive through a signalfd, which every wait
// on the encoder polls beside the port: a signal ends the wait at once, and
// between waits the program asks raised() before it starts the next step.
#pragma once

namespace quillon::cli {

class InterruptSource {
 public:
  InterruptSource() = default;
  ~InterruptSource();
  InterruptSource(const InterruptSource&) = delete;
  InterruptSource& operator=(const InterruptSource&) = delete;

  /// Blocks SIGINT, SIGTERM and SIGHUP and opens the descriptor. False on
  /// failure.
  bool install();
  /// Readable once a signal is pending; -1 before install().
  [[nodiscard]] int fd() const { return fd_; }
  /// True when one of the three has arrived.
  [[nodiscard]] bool raised() const;

 private:
  int fd_ = -1;
};

}  // namespace quillon::cli
