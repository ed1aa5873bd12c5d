// Escape as the Linux input layer sees it: every keyboard under a
// directory (normally /dev/input) that the process may read and that has
// an Escape key. Key events make their descriptors readable, so a waiting
// read can poll them instead of looking at the key over and over.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillon {

class EvdevKeyboardProbe {
 public:
  explicit EvdevKeyboardProbe(std::string directory = "/dev/input");
  ~EvdevKeyboardProbe();
  EvdevKeyboardProbe(const EvdevKeyboardProbe&) = delete;
  EvdevKeyboardProbe& operator=(const EvdevKeyboardProbe&) = delete;

  /// Opens the event* devices of the directory that have an Escape key and
  /// are not open yet: later calls find keyboards plugged in since.
  void open();
  /// Takes a descriptor that delivers input events (tests hand in a pipe).
  void adoptDevice(int fd);
  [[nodiscard]] const std::vector<int>& descriptors() const { return fds_; }

  /// Discards queued events: presses before now no longer count.
  void forgetPresses();
  /// True when an Escape press arrived since forgetPresses() or Escape is
  /// held now. Reads the queued events; a device that is gone is dropped.
  bool escapePressed();

 private:
  bool drainDevice(int fd, bool& sawEscapePress);  // false: device gone
  static bool escapeHeld(int fd);
  void dropDevice(std::size_t index);
  [[nodiscard]] bool isOpen(dev_t device) const;

  std::string directory_;
  std::vector<int> fds_;
  std::vector<dev_t> devices_;  // the device of each descriptor
};

}  // namespace quillon
