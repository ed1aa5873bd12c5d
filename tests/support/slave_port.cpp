#include "slave_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace sim::testing {

using Clock = std::chrono::steady_clock;

SlavePort::SlavePort(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return;
  termios settings{};
  if (::tcgetattr(fd_, &settings) == 0) {
    ::cfmakeraw(&settings);
    ::tcsetattr(fd_, TCSANOW, &settings);
  }
}

SlavePort::~SlavePort() { close(); }

void SlavePort::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void SlavePort::write(const Bytes& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0) throw std::runtime_error("write to the slave failed");
    done += static_cast<std::size_t>(n);
  }
}

std::vector<Arrival> SlavePort::readFor(std::chrono::milliseconds duration) {
  std::vector<Arrival> arrivals;
  const auto end = Clock::now() + duration;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    pollfd p{fd_, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    std::uint8_t buffer[1024];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    arrivals.push_back({Clock::now(), Bytes(buffer, buffer + n)});
  }
  return arrivals;
}

Bytes SlavePort::readAll(std::chrono::milliseconds duration) {
  Bytes all;
  for (const Arrival& a : readFor(duration)) {
    all.insert(all.end(), a.bytes.begin(), a.bytes.end());
  }
  return all;
}

Bytes SlavePort::readReply(std::chrono::milliseconds timeout,
                           std::chrono::milliseconds quiet) {
  Bytes reply;
  const auto end = Clock::now() + timeout;
  while (true) {
    const auto now = Clock::now();
    if (now >= end) break;
    auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (!reply.empty()) wait = std::min(wait, quiet);
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
      if (!reply.empty()) break;
      continue;
    }
    std::uint8_t buffer[1024];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    reply.insert(reply.end(), buffer, buffer + n);
  }
  return reply;
}

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace sim::testing
