#include "line_close.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
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
  // this one keeps the bound. The thread never outlives this call.
  DrainState state;
  std::thread drainer([fd, &calls, &state] {
    const bool drained = calls.drain(fd) == 0;
    // Cancelled only while it waits in the drain.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    std::lock_guard lock(state.mutex);
    state.done = true;
    state.drained = drained;
    state.finished.notify_all();
  });
  const auto done = [&] { return state.done; };
  std::unique_lock lock(state.mutex);
  const bool drained =
      state.finished.wait_for(lock, limit, done) && state.drained;
  if (!state.done) {
    lock.unlock();
    // The queue emptied this way wakes the waiting tcdrain.
    discardUnsent(fd, calls);
    lock.lock();
    if (!state.finished.wait_for(lock, limit, done)) {
      // Not even a discarded queue ended the wait (a driver that waits for
      // the device): tcdrain is a cancellation point, and the signal that
      // carries the cancellation ends the kernel's wait.
      pthread_cancel(drainer.native_handle());
    }
  }
  lock.unlock();
  drainer.join();
  return drained;
}

bool restoreSettings(int fd, const termios& saved, bool drained,
                     TerminalCalls& calls) {
  return calls.setAttributes(fd, drained ? TCSADRAIN : TCSANOW, saved) == 0;
}

void discardUnsent(int fd, TerminalCalls& calls) { calls.flush(fd, TCOFLUSH); }

}  // namespace serialline
