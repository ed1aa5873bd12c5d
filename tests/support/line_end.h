// One end of a terminal line that a test writes and reads by hand: the
// master of a pseudo-terminal of its own, or the slave of the simulated
// encoder's. Failures are thrown, so that any test framework reports them.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "bytes_of.h"

namespace quillon_test {

using namespace std::chrono_literals;

/// Bytes that arrived in one read, and when.
struct Arrival {
  std::chrono::steady_clock::time_point at;
  Bytes bytes;
};

class LineEnd {
 public:
  explicit LineEnd(int fd = -1) : fd_(fd) {}
  ~LineEnd() { close(); }
  LineEnd(const LineEnd&) = delete;
  LineEnd& operator=(const LineEnd&) = delete;

  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] int fd() const { return fd_; }
  /// Closes this end: for the other side the line is gone.
  void close();

  void write(const Bytes& bytes);
  void write(std::string_view text) { write(bytesOf(text)); }

  /// Everything that arrives until `quiet` passes without a byte (also
  /// before the first one), or `limit` after the call.
  Bytes receive(std::chrono::milliseconds quiet = 50ms,
                std::chrono::milliseconds limit = 2s);
  /// Waits up to `timeout` for the first byte, then reads until `quiet`
  /// passes with no byte.
  Bytes readReply(std::chrono::milliseconds timeout = 2000ms,
                  std::chrono::milliseconds quiet = 40ms);
  /// Every read within `duration`, with its time of arrival.
  std::vector<Arrival> readFor(std::chrono::milliseconds duration);
  /// Everything that arrives within `duration`.
  Bytes readAll(std::chrono::milliseconds duration);

 protected:
  int fd_;

 private:
  Bytes read(std::chrono::milliseconds first, std::chrono::milliseconds quiet,
             std::chrono::milliseconds limit);
};

/// The slave of someone else's pseudo-terminal, opened and put in raw mode
/// as a serial port would be.
class SlavePort : public LineEnd {
 public:
  explicit SlavePort(const std::string& path);
};

}  // namespace quillon_test
