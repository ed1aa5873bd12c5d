// Terminal calls that are made for real and written down in order; the
// drain can be made to hang, as on a line that never empties, until the
// output queue is discarded, or for good, as in a driver whose wait only
// a signal ends.
#pragma once

#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "line_close.h"

namespace quillon_test {

class RecordingTerminalCalls : public serialline::TerminalCalls {
 public:
  /// The calls so far: "drain", "discard output", "discard input",
  /// "restore after drain", "restore now", "close".
  std::vector<std::string> log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    log_.clear();
  }
  enum class Drain { kEnds, kUntilDiscarded, kNever };
  /// How the drains from now on end.
  void setDrain(Drain drain) {
    std::lock_guard lock(mutex_);
    drain_ = drain;
  }
  /// From now on a drain waits until the output is discarded.
  void hangDrains(bool hang) {
    setDrain(hang ? Drain::kUntilDiscarded : Drain::kEnds);
  }

  int drain(int fd) override {
    std::unique_lock lock(mutex_);
    log_.push_back("drain");
    if (drain_ == Drain::kNever) {
      lock.unlock();
      for (;;) ::pause();  // a cancellation point, as tcdrain is
    }
    discarded_.wait(lock,
                    [&] { return drain_ == Drain::kEnds || outputDiscarded_; });
    outputDiscarded_ = false;
    lock.unlock();
    return serialline::TerminalCalls::drain(fd);
  }
  int flush(int fd, int queue) override {
    {
      std::lock_guard lock(mutex_);
      log_.push_back(queue == TCOFLUSH   ? "discard output"
                     : queue == TCIFLUSH ? "discard input"
                                         : "discard both");
      if (queue != TCIFLUSH) outputDiscarded_ = true;
    }
    discarded_.notify_all();
    return serialline::TerminalCalls::flush(fd, queue);
  }
  int setAttributes(int fd, int when, const termios& settings) override {
    record(when == TCSADRAIN ? "restore after drain" : "restore now");
    return serialline::TerminalCalls::setAttributes(fd, when, settings);
  }
  int close(int fd) override {
    record("close");
    return serialline::TerminalCalls::close(fd);
  }

 private:
  void record(const char* what) {
    std::lock_guard lock(mutex_);
    log_.push_back(what);
  }
  mutable std::mutex mutex_;
  std::condition_variable discarded_;
  std::vector<std::string> log_;
  Drain drain_ = Drain::kEnds;
  bool outputDiscarded_ = false;
};

}  // namespace quillon_test
