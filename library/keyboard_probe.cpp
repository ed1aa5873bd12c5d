#include "keyboard_probe.h"

#include <array>
#include <string>
#include <utility>

#include "evdev_keyboard_probe.h"
#include "x11_keyboard_probe.h"

namespace quillon {

namespace {

class MachineKeyboardProbe final : public KeyboardProbe {
 public:
  explicit MachineKeyboardProbe(std::string inputDirectory)
      : evdev_(std::move(inputDirectory)) {}

  void beginWatch() override {
    x11_.beginWatch();
    evdev_.open();
    evdev_.forgetPresses();
    collectDescriptors();
  }
  bool escapePressed() override {
    // evdev first: it also drains the events that woke the read.
    const bool evdevPressed = evdev_.escapePressed();
    const bool x11Down = x11_.escapeDown();
    collectDescriptors();  // either may have dropped a descriptor
    return x11Down || evdevPressed;
  }
  std::span<const int> wakeDescriptors() const override {
    return {descriptors_.data(), count_};
  }
  std::optional<std::chrono::milliseconds> recheckInterval() const override {
    // X11 reports no key it was not asked about: ask again this often
    // (and look this often whether a connection has been set up).
    if (x11_.isOpen() || x11_.isConnecting())
      return X11KeyboardProbe::kQueryInterval;
    return std::nullopt;
  }

 private:
  // Kept in a fixed array: a waiting read must not allocate.
  void collectDescriptors() {
    count_ = 0;
    if (const int fd = x11_.descriptor(); fd >= 0) descriptors_[count_++] = fd;
    for (int fd : evdev_.descriptors()) {
      if (count_ == descriptors_.size()) break;
      descriptors_[count_++] = fd;
    }
  }

  X11KeyboardProbe x11_;
  EvdevKeyboardProbe evdev_;
  std::array<int, 32> descriptors_{};
  std::size_t count_ = 0;
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
  static MachineKeyboardProbe probe("/dev/input");
  return probe;
}

std::unique_ptr<KeyboardProbe> makeMachineKeyboardProbe(
    std::string inputDirectory) {
  return std::make_unique<MachineKeyboardProbe>(std::move(inputDirectory));
}

std::unique_ptr<KeyboardProbe> makeNullKeyboardProbe() {
  return std::make_unique<NullKeyboardProbe>();
}

}  // namespace quillon
