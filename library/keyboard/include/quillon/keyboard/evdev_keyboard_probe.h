// Escape as the Linux input layer sees it: every keyboard under a
// directory (normally /dev/input) that the process may read and that has
// an Escape key. Key events make their descriptors readable, so a waiting
// read can poll them instead of looking at the key over and over.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "quillon/keyboard/keyboard_probe.h"

namespace quillon {

class EvdevKeyboardProbe final : public KeyboardProbe {
 public:
  explicit EvdevKeyboardProbe(std::string directory = "/dev/input");
  ~EvdevKeyboardProbe() override;
  EvdevKeyboardProbe(const EvdevKeyboardProbe&) = delete;
  EvdevKeyboardProbe& operator=(const EvdevKeyboardProbe&) = delete;

  /// Opens the event* devices of the directory that have an Escape key and
  /// are not open yet: later calls find keyboards plugged in since.
  void open();
  /// Takes a descriptor that delivers input events (tests hand in a pipe).
  void adoptDevice(int fd);
  /// Discards queued events: presses before now no longer count.
  void forgetPresses();

  /// open(), then forgetPresses().
  void beginWatch() override;
  /// True when an Escape press arrived since forgetPresses() or Escape is
  /// held now. Reads the queued events; a device that is gone is dropped.
  bool escapePressed() override;
  /// The keyboards' descriptors: a key event makes them readable.
  [[nodiscard]] std::span<const int> wakeDescriptors() const override {
    return fds_;
  }
  /// None: the descriptors bring every event.
  [[nodiscard]] std::optional<std::chrono::milliseconds> recheckInterval()
      const override {
    return std::nullopt;
  }

 private:
  bool drainDevice(int fd, bool& sawEscapePress);  // false: device gone
  static bool escapeHeld(int fd);
  void dropDevice(std::size_t index);
  [[nodiscard]] bool isOpen(dev_t device) const;

  std::string directory_;
  std::vector<int> fds_;
  std::vector<dev_t> devices_;  // the device of each descriptor
  unsigned generation_;         // the fork generation they were opened in
};

}  // namespace quillon
