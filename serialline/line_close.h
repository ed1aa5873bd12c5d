// How a serial line is let go: the bytes written leave the transmitter
// before the line's settings are put back, and a frame cut short by a
// write timeout is not left in the queue to reach the device later. Both
// the library's port and the program's serial control close this way.
#pragma once

#include <termios.h>

#include <chrono>

namespace serialline {

/// The few terminal calls of a close, behind an interface so that tests
/// can see the order they come in. The defaults make the system calls.
class TerminalCalls {
 public:
  virtual ~TerminalCalls() = default;
  virtual int drain(int fd);             ///< tcdrain
  virtual int flush(int fd, int queue);  ///< tcflush
  virtual int setAttributes(int fd, int when, const termios& settings);
  virtual int close(int fd);
  /// Bytes still in the driver's output queue (TIOCOUTQ), or -1.
  virtual int unsentBytes(int fd);
};

/// The system's calls.
TerminalCalls& systemTerminalCalls();

/// Waits until the transmitter has sent every byte written: the driver's
/// queue, and where the driver can tell, the UART's FIFO or a USB
/// adapter's buffer (tcdrain). Waits at most `limit`: a line that does
/// not drain (a stuck device) has the bytes still queued discarded, which
/// ends the wait; a drain that not even this ends is cancelled after
/// `limit` more. The drain runs on a thread that never outlives the call;
/// where no thread can be had (the process's thread limit), this thread
/// watches the driver's queue empty instead, within the same `limit`.
/// True when everything was sent within `limit`.
bool drainTransmitter(int fd, std::chrono::milliseconds limit,
                      TerminalCalls& calls);

/// Puts `saved` back: once the output has drained (TCSADRAIN) when it
/// `drained`, so that no byte still leaving goes out with the old
/// settings; at once (TCSANOW) when it did not, since a drain that gave up
/// would be waited for again.
bool restoreSettings(int fd, const termios& saved, bool drained,
                     TerminalCalls& calls);

/// Drops the bytes written and not yet sent: after a write cut short, so
/// that the device never receives the head of a frame later.
void discardUnsent(int fd, TerminalCalls& calls);

}  // namespace serialline
