// The master side of a pseudo-terminal, with one slave descriptor kept
// open so that the other side closing and reopening the slave never hangs
// up the master.
//
// A device's exclusive mode (TIOCEXCL) ends when its last opener closes
// it, a killed one included. The kept descriptor would keep it forever, so
// the openers of the slave are counted (inotify) and the mode is cleared
// once the last one has gone, as the device would.
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

  /// Readable when the slave was opened or closed by another program; then
  /// call takeOpenerEvents(). -1 when openers cannot be watched.
  [[nodiscard]] int openerWatchFd() const { return watch_; }
  /// Counts the opens and closes that arrived; when no opener is left, the
  /// line's exclusive mode is cleared.
  void takeOpenerEvents();

 private:
  bool fail(const char* what);

  int master_ = -1;
  int keptSlave_ = -1;  // never read: it only keeps the line up
  int watch_ = -1;      // inotify on the slave path
  long openers_ = 0;    // open descriptions of the slave but ours
  std::string slavePath_;
  std::string error_;
};

}  // namespace sim
