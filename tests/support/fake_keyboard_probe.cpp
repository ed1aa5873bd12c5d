#include "fake_keyboard_probe.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace quillon_test {

FakeKeyboardProbe::FakeKeyboardProbe(bool wakes,
                                     std::chrono::milliseconds recheck)
    : eventFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      wakes_(wakes),
      recheck_(recheck) {}

FakeKeyboardProbe::~FakeKeyboardProbe() { ::close(eventFd_); }

void FakeKeyboardProbe::hold() {
  held_ = true;
  pressedSinceWatch_ = true;
  wake();
}

void FakeKeyboardProbe::release() { held_ = false; }

void FakeKeyboardProbe::tap() {
  pressedSinceWatch_ = true;
  wake();
}

void FakeKeyboardProbe::beginWatch() {
  drain();
  pressedSinceWatch_ = false;
  ++watches_;
}

bool FakeKeyboardProbe::escapePressed() {
  ++looks_;
  drain();
  return held_ || pressedSinceWatch_;
}

std::span<const int> FakeKeyboardProbe::wakeDescriptors() const {
  if (!wakes_) return {};
  return {&eventFd_, 1};
}

std::optional<std::chrono::milliseconds> FakeKeyboardProbe::recheckInterval()
    const {
  if (wakes_) return std::nullopt;
  return recheck_;
}

void FakeKeyboardProbe::wake() {
  const std::uint64_t one = 1;
  (void)::write(eventFd_, &one, sizeof one);
}

void FakeKeyboardProbe::drain() {
  std::uint64_t count = 0;
  (void)::read(eventFd_, &count, sizeof count);
}

}  // namespace quillon_test
