// The library's link to the encoder: one serial device, named by its path,
// opened exclusively, 8N1 at the caller's baud rate with DTR raised. It
// sends a frame with one blocking write and takes one reply with one
// blocking read that ends on a pause in the reply, on a timeout, or when
// the user presses Escape. It builds no frame and takes no reply apart.
#pragma once

#include <termios.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "line_close.h"
#include "quillon/core/status.h"
#include "quillon/keyboard/keyboard_probe.h"
#include "reply_tracker.h"

namespace quillon {

class SerialPort {
 public:
  /// Largest reply a read takes.
  static constexpr std::size_t kReadSize = protocol::kMaxReplySize;
  /// A read ends this long after its last byte ...
  static constexpr int kInterByteTimeoutMs = 79;
  /// ... and at the latest this long after it began.
  static constexpr int kTotalReadTimeoutMs = 11000;

  /// Longest a close waits for written bytes to leave the line.
  static constexpr int kCloseDrainLimitMs = 500;
  /// Keyboard descriptors a read waits on besides the port.
  static constexpr std::size_t kMaxWakeDescriptors = 31;

  /// A closed port that watches the machine's keyboard, through a probe
  /// of its own.
  SerialPort();
  /// A closed port that asks `probe` for the Escape key; the probe must
  /// outlive the port.
  explicit SerialPort(KeyboardProbe& probe);
  /// ... that makes its terminal calls through `calls` (which must outlive
  /// the port), so that a test can see their order.
  SerialPort(KeyboardProbe& probe, serialline::TerminalCalls& calls);
  /// Releases nothing: a port still open stays open until the process
  /// ends (the library's device is destroyed at unload without closing).
  virtual ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  /// Opens the device at `path` at `baudRate`. A port that is open is
  /// closed first. False when the line cannot be had: no such device, in
  /// use, not a terminal, or baud rate 0; the port is then closed.
  bool Open(const std::string& path, std::uint32_t baudRate);
  /// Waits (at most 500 ms) until the transmitter is empty, lowers DTR,
  /// restores the line settings found at open once the output has drained
  /// and closes.
  /// Always true, also on a closed port.
  bool Close();
  /// Drops input that arrived since the last read, then sends the bytes.
  /// QUILLON_OK sent; QUILLON_ERR_NOT_OPEN; QUILLON_ERR_WRITE failed, cut
  /// short by the write timeout (the part still queued is then discarded)
  /// or the line was lost.
  Status Write(std::span<const std::uint8_t> bytes);

  /// What a read took: QUILLON_OK and the count of bytes at the buffer's
  /// start (1..400), or why none were taken: QUILLON_ERR_NOT_OPEN;
  /// QUILLON_ERR_READ_START the wait could not start; QUILLON_ERR_NO_REPLY
  /// nothing arrived (timeout, or the line was lost); QUILLON_ERR_ESCAPE
  /// Escape pressed while waiting.
  struct Received {
    Status status = QUILLON_ERR_NO_REPLY;
    std::size_t count = 0;
  };

  /// What a program of its own may add to a read (the exported functions
  /// never do): both are off by default.
  struct ReadEnd {
    /// Once readable, the read ends as Escape ends it; -1 for none. A
    /// reply that has begun to arrive (or waits to be read) is not cut
    /// off: the read takes it to its end (the tracker's, else the pause)
    /// and returns it, and the descriptor stays readable for the caller.
    int interruptFd = -1;
    /// Follows the bytes as they arrive; once it says the reply has ended
    /// the read returns at once, without waiting for the pause.
    protocol::ReplyTracker* reply = nullptr;
    /// The caller's bound on the read in place of the 11 s: when it
    /// passes with nothing received the read returns QUILLON_ERR_TIMED_OUT
    /// (the 11 s give QUILLON_ERR_NO_REPLY). kNoLimit: no bound at all.
    std::optional<std::chrono::milliseconds> limit;
  };
  static constexpr std::chrono::milliseconds kNoLimit{-1};

  /// Takes one reply.
  Received Read(std::span<std::uint8_t, kReadSize> buffer, const ReadEnd& end);
  Received Read(std::span<std::uint8_t, kReadSize> buffer);

  /// Takes (and drops) whatever arrives within `quiet` of the last byte,
  /// without sending anything, for at most a second past `quiet`: true
  /// when a byte came (or was waiting). An answer that comes after its wait
  /// ended is told apart so from a line that stayed silent.
  bool Heard(std::chrono::microseconds quiet);

  [[nodiscard]] bool isOpen() const { return open_; }
  /// The device last opened (or tried).
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::uint32_t baudRate() const { return baudRate_; }

 private:
  bool configureLine();
  void releaseDescriptor();
  Status timedOut();
  /// Milliseconds per byte that a write may take; 0 for no limit.
  [[nodiscard]] int writeTimeoutPerByteMs() const;

  int fd_ = -1;
  std::string path_;
  std::uint8_t dataBits_ = 8;
  std::uint8_t stopBits_ = 0;  // one stop bit
  std::uint8_t parity_ = 0;    // none
  std::uint32_t baudRate_ = 0;
  bool open_ = false;
  termios savedTermios_{};
  std::unique_ptr<KeyboardProbe> ownProbe_;  // when none was handed in
  KeyboardProbe* probe_;
  serialline::TerminalCalls* calls_;
};

}  // namespace quillon
