#include "keyboard_probe.h"

#include <vector>

#include "evdev_keyboard_probe.h"
#include "x11_keyboard_probe.h"

namespace quillon {

namespace {

// X11 cannot wake a poll for a key it was not asked to report, so while a
// display is open the read looks at it this often.
constexpr std::chrono::milliseconds kX11Interval{10};

class MachineKeyboardProbe final : public KeyboardProbe {
 public:
  void beginWatch() override {
    x11_.open();
    evdev_.open();
    evdev_.forgetPresses();
  }
  bool escapePressed() override {
    // evdev first: it also drains the events that woke the read.
    const bool evdevPressed = evdev_.escapePressed();
    return x11_.escapeDown() || evdevPressed;
  }
  std::span<const int> wakeDescriptors() const override {
    return evdev_.descriptors();
  }
  std::optional<std::chrono::milliseconds> recheckInterval() const override {
    if (x11_.isOpen()) return kX11Interval;
    return std::nullopt;
  }

 private:
  X11KeyboardProbe x11_;
  EvdevKeyboardProbe evdev_;
};

class NullKeyboardProbe final : public KeyboardProbe {
 public:
  void beginWatch() override {}
  bool escapePressed() override { return false; }
  std::span<const int> wakeDescriptors() const override { return {}; }
  std::optional<std::chrono::milliseconds> recheckInterval() const override {
    return std::nullopt;
  }
};

}  // namespace

KeyboardProbe& defaultKeyboardProbe() {
  // Destroyed when the library is unloaded or the process ends, so that
  // loading and unloading the library leaves no descriptor behind.
  static MachineKeyboardProbe probe;
  return probe;
}

std::unique_ptr<KeyboardProbe> makeNullKeyboardProbe() {
  return std::make_unique<NullKeyboardProbe>();
}

}  // namespace quillon
