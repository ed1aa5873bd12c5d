// A pseudo-terminal whose master side a test drives by hand: it sees the
// exact bytes the port wrote and sends replies with chosen timing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "encoder_protocol.h"

namespace quillon_test {

using protocol::Bytes;

Bytes bytesOf(const std::string& text);

class PtyPair {
 public:
  PtyPair();  // fails the current test when no pseudo-terminal is had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  [[nodiscard]] const std::string& slavePath() const { return slavePath_; }
  [[nodiscard]] int master() const { return master_; }

  void send(const Bytes& bytes);
  /// Everything that arrives until `quiet` passes without a byte, or
  /// `limit` after the call.
  Bytes receive(std::chrono::milliseconds quiet = std::chrono::milliseconds(50),
                std::chrono::milliseconds limit = std::chrono::seconds(2));
  /// Closes the master side: the line is gone for the slave.
  void hangUp();

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace quillon_test
