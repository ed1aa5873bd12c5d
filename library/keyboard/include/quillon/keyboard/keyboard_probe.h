// The Escape key's state on the keyboard as a whole, as a waiting read
// sees it. Every source of the key (the X server, the input devices, a
// test's own keyboard) implements this interface; the serial port asks it
// and nothing else.
//
// How a read uses a probe: beginWatch() as the read begins; then, in a
// loop, escapePressed(), and a poll() on the port together with
// wakeDescriptors(), for at most recheckInterval() when there is one.
//
// No function may block: the read's 79 ms pause, which ends a reply, must
// never stretch because a key was looked at. A source that has to ask
// someone else (the X server) sends its question and takes the answer on
// a later call, once it has come. The functions are called from the
// thread of the read, one read at a time; a probe serves one port.
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

  /// A read begins: a press that ended before this call no longer counts
  /// (a key still held does). May start what later calls need (open the
  /// keyboards found now, ask for the key's state); waits for nothing
  /// longer than a bound the source documents. The read's frame is out by
  /// now: what cannot start (a thread, memory) leaves the key up instead
  /// of failing the read (the machine's probe never throws).
  virtual void beginWatch() = 0;

  /// True when Escape is held now or was pressed since beginWatch(), as
  /// far as the source can tell by now. Never waits; takes in what has
  /// arrived (events, an answer) and may drop a source that went away.
  virtual bool escapePressed() = 0;

  /// Descriptors that turn readable when something for escapePressed()
  /// arrives (a key event, an answer). The read polls them with the port,
  /// so that a press wakes it at once. Valid until the next call of any
  /// other function; may be empty.
  [[nodiscard]] virtual std::span<const int> wakeDescriptors() const = 0;

  /// How long the read may wait before it asks escapePressed() again
  /// although no descriptor woke it (a source that must ask for the state
  /// again and again); empty when the descriptors suffice.
  [[nodiscard]] virtual std::optional<std::chrono::milliseconds>
  recheckInterval() const = 0;
};

/// The machine's keyboard: the X server named by $DISPLAY (when one can be
/// reached) and the keyboards under `inputDirectory` that the process may
/// read. Each probe has connections of its own, opened on first use and
/// kept until it is destroyed.
std::unique_ptr<KeyboardProbe> makeMachineKeyboardProbe(
    std::string inputDirectory = "/dev/input");

/// A probe that never sees a key (for programs without a keyboard).
std::unique_ptr<KeyboardProbe> makeNullKeyboardProbe();

}  // namespace quillon
