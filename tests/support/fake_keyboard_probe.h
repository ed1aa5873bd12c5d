// A keyboard whose Escape key the test presses. Presses wake a waiting
// read through an eventfd, as a real keyboard's events do.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>

#include "quillon/keyboard/keyboard_probe.h"

namespace quillon_test {

class FakeKeyboardProbe final : public quillon::KeyboardProbe {
 public:
  /// `wakes`: whether presses wake the read through a descriptor; without,
  /// the read must look again every `recheck`.
  explicit FakeKeyboardProbe(
      bool wakes = true,
      std::chrono::milliseconds recheck = std::chrono::milliseconds(5));
  ~FakeKeyboardProbe() override;

  void hold();     ///< the key goes down and stays down
  void release();  ///< the key comes up
  void tap();      ///< down and up again at once
  [[nodiscard]] int watchesBegun() const { return watches_; }
  /// How often a wait looked at the key: a read looks once each time it
  /// wakes (bytes taken, an interrupt), so a test can wait on that.
  [[nodiscard]] int looks() const { return looks_; }

  void beginWatch() override;
  bool escapePressed() override;
  [[nodiscard]] std::span<const int> wakeDescriptors() const override;
  [[nodiscard]] std::optional<std::chrono::milliseconds> recheckInterval()
      const override;

 private:
  void wake();
  void drain();

  int eventFd_ = -1;
  bool wakes_;
  std::chrono::milliseconds recheck_;
  std::atomic<bool> held_{false};
  std::atomic<bool> pressedSinceWatch_{false};
  std::atomic<int> watches_{0};
  std::atomic<int> looks_{0};
};

}  // namespace quillon_test
