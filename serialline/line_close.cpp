#include "line_close.h"

#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace serialline {

int TerminalCalls::drain(int fd) { return ::tcdrain(fd); }
int TerminalCalls::flush(int fd, int queue) { return ::tcflush(fd, queue); }
int TerminalCalls::setAttributes(int fd, int when, const termios& settings) {
  return ::tcsetattr(fd, when, &settings);
}
int TerminalCalls::close(int fd) { return ::close(fd); }

TerminalCalls& systemTerminalCalls() {
  static TerminalCalls calls;
  return calls;
}

namespace {

// What the waiting side and the draining thread share.
struct DrainState {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool drained = false;
};

}  // namespace

bool drainTransmitter(int fd, std::chrono::milliseconds limit,
                      TerminalCalls& calls) {
  // tcdrain has no timeout of its own: it runs on a thread of its own while
  // this one keeps the bound.
  auto state = std::make_shared<DrainState>();
  std::thread drainer([fd, &calls, state] {
    const bool drained = calls.drain(fd) == 0;
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->drained = drained;
    state->finished.notify_all();
  });
  std::unique_lock lock(state->mutex);
  if (!state->finished.wait_for(lock, limit, [&] { return state->done; })) {
    lock.unlock();
    // The queue emptied this way wakes the waiting tcdrain.
    discardUnsent(fd, calls);
    lock.lock();
    state->finished.wait_for(lock, limit, [&] { return state->done; });
  }
  const bool drained = state->done && state->drained;
  const bool finished = state->done;
  lock.unlock();
  if (finished) {
    drainer.join();
  } else {
    // Not even a discarded queue ended the wait (a driver that never
    // answers): the thread keeps only what it shares, and the close goes on.
    drainer.detach();
  }
  return drained;
}

bool restoreSettings(int fd, const termios& saved, TerminalCalls& calls) {
  return calls.setAttributes(fd, TCSADRAIN, saved) == 0;
}

void discardUnsent(int fd, TerminalCalls& calls) { calls.flush(fd, TCOFLUSH); }

}  // namespace serialline
