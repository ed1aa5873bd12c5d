#include "quillon/keyboard/keyboard_probe.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "quillon/keyboard/evdev_keyboard_probe.h"
#include "quillon/keyboard/x11_keyboard_probe.h"

namespace quillon {

namespace {

// Both sources of the machine, each through the interface: the key counts
// when either sees it.
class MachineKeyboardProbe final : public KeyboardProbe {
 public:
  explicit MachineKeyboardProbe(std::string inputDirectory)
      : evdev_(std::move(inputDirectory)) {}

  void beginWatch() noexcept override {
    // X11 first: presses during its connect wait are forgotten with the
    // input devices' older ones.
    beginOrSeeNoKey(x11_);
    beginOrSeeNoKey(evdev_);
    collectDescriptors();
  }
  bool escapePressed() override {
    // The input devices first: they also drain the events that woke the
    // read. Both are asked every time.
    const bool evdevPressed = evdev_.escapePressed();
    const bool x11Pressed = x11_.escapePressed();
    collectDescriptors();  // either may have dropped a descriptor
    return evdevPressed || x11Pressed;
  }
  std::span<const int> wakeDescriptors() const override {
    return {descriptors_.data(), count_};
  }
  std::optional<std::chrono::milliseconds> recheckInterval() const override {
    const auto x11 = x11_.recheckInterval();
    const auto evdev = evdev_.recheckInterval();
    if (x11 && evdev) return std::min(*x11, *evdev);
    return x11 ? x11 : evdev;
  }

 private:
  // A read begins once its frame is out: a source that cannot start (no
  // memory for its list of keyboards) must not fail it. It sees no key
  // now and is asked again by the next read.
  static void beginOrSeeNoKey(KeyboardProbe& source) noexcept {
    try {
      source.beginWatch();
    } catch (...) {  // no key is the answer
    }
  }

  // Kept in a fixed array: a waiting read must not allocate.
  void collectDescriptors() {
    count_ = 0;
    const std::array<const KeyboardProbe*, 2> sources{&x11_, &evdev_};
    for (const KeyboardProbe* source : sources) {
      for (const int fd : source->wakeDescriptors()) {
        if (count_ == descriptors_.size()) return;
        descriptors_[count_++] = fd;
      }
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

std::unique_ptr<KeyboardProbe> makeMachineKeyboardProbe(
    std::string inputDirectory) {
  return std::make_unique<MachineKeyboardProbe>(std::move(inputDirectory));
}

std::unique_ptr<KeyboardProbe> makeNullKeyboardProbe() {
  return std::make_unique<NullKeyboardProbe>();
}

}  // namespace quillon
