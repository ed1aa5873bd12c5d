// The Escape key's state on the keyboard as a whole, as a waiting read
// sees it. Behind an interface so that tests can inject key state.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quillon {

class KeyboardProbe {
 public:
  virtual ~KeyboardProbe() = default;

  /// Called as a read begins: a press that ended before this call no
  /// longer counts (a key still held does).
  virtual void beginWatch() = 0;

  /// True when Escape is held now or was pressed since beginWatch().
  virtual bool escapePressed() = 0;

  /// Descriptors that turn readable when a key event arrives. The waiting
  /// read polls them together with the port, so a press wakes it.
  [[nodiscard]] virtual std::span<const int> wakeDescriptors() const = 0;

  /// How long the read may wait before it asks escapePressed() again
  /// although no descriptor woke it; empty when the descriptors suffice.
  [[nodiscard]] virtual std::optional<std::chrono::milliseconds>
  recheckInterval() const = 0;
};

/// The probe of the machine: X11 (when a display can be opened) and the
/// readable keyboards under /dev/input, opened on first use and kept.
/// One per process, destroyed at exit (or when the library is unloaded):
/// no read may run from a static destructor after that.
KeyboardProbe& defaultKeyboardProbe();

/// A probe like the machine's, with the keyboards under `inputDirectory`
/// (tests give a folder of their own).
std::unique_ptr<KeyboardProbe> makeMachineKeyboardProbe(
    std::string inputDirectory);

/// A probe that never sees a key (for programs without a keyboard).
std::unique_ptr<KeyboardProbe> makeNullKeyboardProbe();

}  // namespace quillon
