#include "paced_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sim {

void PacedOutput::enqueue(std::vector<std::uint8_t> bytes, Clock::duration gap,
                          Clock::time_point notBefore) {
  if (bytes.empty()) return;
  Burst burst;
  burst.bytes = std::move(bytes);
  burst.gap = gap;
  burst.notBefore = notBefore;
  bursts_.push_back(std::move(burst));
}

PacedOutput::Clock::duration PacedOutput::byteTime(std::size_t bytes) const {
  if (baudRate_ <= 0) return Clock::duration::zero();
  const auto nanoseconds = static_cast<std::int64_t>(bytes) * 10'000'000'000 /
                           static_cast<std::int64_t>(baudRate_);
  return std::chrono::nanoseconds(nanoseconds);
}

std::size_t PacedOutput::dueCount(const Burst& burst,
                                  Clock::time_point now) const {
  if (now < *burst.start) return 0;
  if (baudRate_ <= 0) return burst.bytes.size();
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - *burst.start)
          .count();
  // Byte k is due at start + k byte times.
  const auto due = static_cast<std::size_t>(
      elapsed * static_cast<std::int64_t>(baudRate_) / 10'000'000'000 + 1);
  return std::min(due, burst.bytes.size());
}

PacedOutput::Clock::time_point PacedOutput::earliestStart(
    const Burst& burst, Clock::time_point now) const {
  // A line that fell idle does not catch up: the burst starts now at the
  // earliest.
  return std::max({now, lineFreeAt_ + burst.gap, burst.notBefore});
}

void PacedOutput::startHead(Clock::time_point now) {
  Burst& head = bursts_.front();
  head.start = earliestStart(head, now);
}

std::vector<std::vector<std::uint8_t>> PacedOutput::writeDue(
    int fd, Clock::time_point now, bool& ok) {
  ok = true;
  blocked_ = false;
  std::vector<std::vector<std::uint8_t>> finished;
  while (!bursts_.empty()) {
    Burst& head = bursts_.front();
    if (!head.start) startHead(now);
    const std::size_t due = dueCount(head, now);
    if (due <= head.sent) break;
    const ssize_t n =
        ::write(fd, head.bytes.data() + head.sent, due - head.sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        blocked_ = true;
      } else {
        ok = false;
      }
      break;
    }
    head.sent += static_cast<std::size_t>(n);
    if (head.sent < due) {
      blocked_ = true;
      break;
    }
    if (head.sent < head.bytes.size()) break;  // the rest is not due yet
    lineFreeAt_ =
        baudRate_ > 0 ? *head.start + byteTime(head.bytes.size()) : now;
    finished.push_back(std::move(head.bytes));
    bursts_.pop_front();
  }
  return finished;
}

std::optional<PacedOutput::Clock::time_point> PacedOutput::nextDue(
    Clock::time_point now) const {
  if (bursts_.empty() || blocked_) return std::nullopt;
  const Burst& head = bursts_.front();
  if (!head.start) return earliestStart(head, now);
  return *head.start + byteTime(head.sent);
}

void PacedOutput::clear() {
  bursts_.clear();
  blocked_ = false;
}

}  // namespace sim
