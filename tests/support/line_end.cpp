#include "line_end.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quillon_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void LineEnd::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void LineEnd::write(const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw std::runtime_error(std::string("write to the line failed: ") +
                               std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
}

Bytes LineEnd::read(milliseconds first, milliseconds quiet,
                    milliseconds limit) {
  const auto end = Clock::now() + limit;
  Bytes out;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(end - Clock::now());
    if (left.count() <= 0) return out;
    const auto wait = std::min(left, out.empty() ? first : quiet);
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0 ||
        (p.revents & POLLIN) == 0) {
      return out;
    }
    std::uint8_t chunk[1024];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) return out;
    out.insert(out.end(), chunk, chunk + n);
  }
}

Bytes LineEnd::receive(milliseconds quiet, milliseconds limit) {
  return read(quiet, quiet, limit);
}

Bytes LineEnd::readReply(milliseconds timeout, milliseconds quiet) {
  return read(timeout, quiet, timeout);
}

std::vector<Arrival> LineEnd::readFor(milliseconds duration) {
  std::vector<Arrival> arrivals;
  const auto end = Clock::now() + duration;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    pollfd p{fd_, POLLIN, 0};
    const auto left = std::chrono::duration_cast<milliseconds>(end - now);
    if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    std::uint8_t chunk[1024];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) break;
    arrivals.push_back({Clock::now(), Bytes(chunk, chunk + n)});
  }
  return arrivals;
}

Bytes LineEnd::readAll(milliseconds duration) {
  Bytes all;
  for (const Arrival& a : readFor(duration)) {
    all.insert(all.end(), a.bytes.begin(), a.bytes.end());
  }
  return all;
}

SlavePort::SlavePort(const std::string& path)
    : LineEnd(
          ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  termios settings{};
  if (isOpen() && ::tcgetattr(fd_, &settings) == 0) {
    ::cfmakeraw(&settings);
    ::tcsetattr(fd_, TCSANOW, &settings);
  }
}

}  // namespace quillon_test
