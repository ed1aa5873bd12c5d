// The master side of a pseudo-terminal, with one slave descriptor kept
// open so that the other side closing and reopening the slave never hangs
// up the master.
#pragma once

#include <string>

namespace sim {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  /// Opens a new pair; the master is non-blocking and the slave raw, so
  /// nothing is echoed before the other side configures it. False with
  /// errorText() on failure (the object stays closed).
  bool open();
  /// Closes both descriptors: the slave path disappears.
  void close();

  [[nodiscard]] bool isOpen() const { return master_ >= 0; }
  [[nodiscard]] int masterFd() const { return master_; }
  [[nodiscard]] const std::string& slavePath() const { return slavePath_; }
  [[nodiscard]] const std::string& errorText() const { return error_; }

 private:
  bool fail(const char* what);

  int master_ = -1;
  int keptSlave_ = -1;  // never read: it only keeps the line up
  std::string slavePath_;
  std::string error_;
};

}  // namespace sim
