// A pseudo-terminal of the test's own: the code under test opens the slave
// side, and the test holds the master, where it sees the exact bytes the
// code wrote and sends replies with chosen timing.
#pragma once

#include <string>

#include "line_end.h"

namespace quillon_test {

class PtyPair : public LineEnd {
 public:
  /// When no pseudo-terminal is had, isOpen() is false and errorText()
  /// says why.
  PtyPair();

  [[nodiscard]] const std::string& slavePath() const { return slavePath_; }
  [[nodiscard]] const std::string& errorText() const { return error_; }
  [[nodiscard]] int master() const { return fd(); }
  /// Another descriptor on the slave side (non-blocking), to see what the
  /// code under test did to the line; the caller closes it.
  [[nodiscard]] int openSlave() const;

 private:
  std::string slavePath_;
  std::string error_;
};

}  // namespace quillon_test
