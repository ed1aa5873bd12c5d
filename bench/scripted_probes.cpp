#include "scripted_probes.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace bench {

WakingProbe::WakingProbe() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakingProbe::~WakingProbe() { ::close(fd_); }

void WakingProbe::press() {
  down_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
}

void WakingProbe::release() { down_ = false; }

bool WakingProbe::escapePressed() {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto n = ::read(fd_, &count, sizeof count);
  return down_;
}

}  // namespace bench
