// The other side of the simulated encoder's line: the slave of its
// pseudo-terminal, opened and put in raw mode as a serial port would be.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "simulated_encoder.h"

namespace sim::testing {

using namespace std::chrono_literals;

/// Bytes that arrived in one read, and when.
struct Arrival {
  std::chrono::steady_clock::time_point at;
  Bytes bytes;
};

class SlavePort {
 public:
  explicit SlavePort(const std::string& path);
  ~SlavePort();
  SlavePort(const SlavePort&) = delete;
  SlavePort& operator=(const SlavePort&) = delete;

  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] int fd() const { return fd_; }
  void close();

  void write(const Bytes& bytes);
  void write(const std::string& text) {
    write(Bytes(text.begin(), text.end()));
  }

  /// Reads until `quiet` passes with no byte after the first one, or
  /// `timeout` passes in all.
  Bytes readReply(std::chrono::milliseconds timeout = 2000ms,
                  std::chrono::milliseconds quiet = 40ms);
  /// Every read within `duration`, with its time of arrival.
  std::vector<Arrival> readFor(std::chrono::milliseconds duration);
  /// Everything that arrives within `duration`.
  Bytes readAll(std::chrono::milliseconds duration);

 private:
  int fd_ = -1;
};

/// Text as bytes, for readable expectations.
Bytes bytes(const std::string& text);

}  // namespace sim::testing
