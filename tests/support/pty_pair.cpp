#include "pty_pair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon_test {

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return;
  }
  char name[128] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "ptsname_r: " << std::strerror(errno);
    return;
  }
  slavePath_ = name;
}

PtyPair::~PtyPair() { hangUp(); }

void PtyPair::send(const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
}

Bytes PtyPair::receive(std::chrono::milliseconds quiet,
                       std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + limit;
  Bytes out;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - Clock::now());
    if (left.count() <= 0) return out;
    pollfd p{master_, POLLIN, 0};
    const int ready =
        ::poll(&p, 1, static_cast<int>(std::min(left, quiet).count()));
    if (ready <= 0 || (p.revents & POLLIN) == 0) return out;
    std::uint8_t chunk[512];
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) return out;
    out.insert(out.end(), chunk, chunk + n);
  }
}

void PtyPair::hangUp() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

}  // namespace quillon_test
