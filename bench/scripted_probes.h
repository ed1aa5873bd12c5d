// Keyboard probes whose Escape key the benchmark presses at a known time,
// the way each real probe sees the key: by looking again every few
// milliseconds (X11) or by a descriptor that wakes the wait (input devices).
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <span>

#include "quillon/keyboard/keyboard_probe.h"

namespace bench {

class PolledProbe final : public quillon::KeyboardProbe {
 public:
  explicit PolledProbe(std::chrono::milliseconds interval)
      : interval_(interval) {}
  void press() { down_ = true; }
  void release() { down_ = false; }

  void beginWatch() override {}
  bool escapePressed() override { return down_; }
  std::span<const int> wakeDescriptors() const override { return {}; }
  std::optional<std::chrono::milliseconds> recheckInterval() const override {
    return interval_;
  }

 private:
  std::chrono::milliseconds interval_;
  std::atomic<bool> down_{false};
};

class WakingProbe final : public quillon::KeyboardProbe {
 public:
  WakingProbe();
  ~WakingProbe() override;
  void press();
  void release();

  void beginWatch() override {}
  bool escapePressed() override;
  std::span<const int> wakeDescriptors() const override { return {&fd_, 1}; }
  std::optional<std::chrono::milliseconds> recheckInterval() const override {
    return std::nullopt;
  }

 private:
  int fd_;
  std::atomic<bool> down_{false};
};

}  // namespace bench
