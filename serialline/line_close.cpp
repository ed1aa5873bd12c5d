#include "line_close.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace serialline {

int TerminalCalls::drain(int fd) { return ::tcdrain(fd); }
int TerminalCalls::flush(int fd, int queue) { return ::tcflush(fd, queue); }
int TerminalCalls::setAttributes(int fd, int when, const termios& settings) {
  return ::tcsetattr(fd, when, &settings);
}
int TerminalCalls::close(int fd) { return ::close(fd); }
int TerminalCalls::unsentBytes(int fd) {
  int count = 0;
  return ::ioctl(fd, TIOCOUTQ, &count) == 0 ? count : -1;
}

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

// Without a thread for tcdrain: the driver's queue watched until it is
// empty, for at most `limit`, then what is left discarded.
bool drainByWatching(int fd, std::chrono::milliseconds limit,
                     TerminalCalls& calls) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const int unsent = calls.unsentBytes(fd);
    if (unsent == 0) return true;
    if (unsent < 0 || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  discardUnsent(fd, calls);
  return false;
}

}  // namespace

bool drainTransmitter(int fd, std::chrono::milliseconds limit,
                      TerminalCalls& calls) {
  // tcdrain has no timeout of its own: it runs on a thread of its own while
  // this one keeps the bound. The thread never outlives this call.
  DrainState state;
  std::thread drainer;
  try {
    drainer = std::thread([fd, &calls, &state] {
      const bool drained = calls.drain(fd) == 0;
      // Cancelled only while it waits in the drain.
      pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
      std::lock_guard lock(state.mutex);
      state.done = true;
      state.drained = drained;
      state.finished.notify_all();
    });
  } catch (const std::system_error&) {
    return drainByWatching(fd, limit, calls);
  }
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
