// The encoder's transmit line: replies queued as bursts and written to the
// master side at the pace of the line rate, each byte against an absolute
// deadline so that timer lateness never adds up.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace sim {

class PacedOutput {
 public:
  using Clock = std::chrono::steady_clock;

  /// 10 bits per byte at baudRate; 0 sends each burst at once.
  explicit PacedOutput(int baudRate = 0) : baudRate_(baudRate) {}

  /// Queues a burst that starts no earlier than `gap` after the previous
  /// burst ends (its last byte on the line), nor before now, nor before
  /// `notBefore`.
  void enqueue(std::vector<std::uint8_t> bytes,
               Clock::duration gap = Clock::duration::zero(),
               Clock::time_point notBefore = {});

  /// Writes to fd every byte that is due by now, without blocking.
  /// Returns the bursts this call finished; false in `ok` on a write
  /// error other than a full queue.
  std::vector<std::vector<std::uint8_t>> writeDue(int fd, Clock::time_point now,
                                                  bool& ok);

  /// When the next byte falls due; nullopt when nothing is queued or the
  /// line is blocked (then wait until fd is writable).
  [[nodiscard]] std::optional<Clock::time_point> nextDue(
      Clock::time_point now) const;
  [[nodiscard]] bool blocked() const { return blocked_; }
  [[nodiscard]] bool empty() const { return bursts_.empty(); }
  void clear();

 private:
  struct Burst {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    Clock::duration gap{};
    Clock::time_point queuedAt;
    Clock::time_point notBefore;
    std::optional<Clock::time_point> start;  // set when it reaches the head
  };

  [[nodiscard]] Clock::duration byteTime(std::size_t bytes) const;
  // Bytes of the head burst due by `now`.
  [[nodiscard]] std::size_t dueCount(const Burst& burst,
                                     Clock::time_point now) const;
  void startHead(Clock::time_point now);
  [[nodiscard]] Clock::time_point earliestStart(const Burst& burst,
                                                Clock::time_point now) const;

  int baudRate_;
  std::deque<Burst> bursts_;
  Clock::time_point lineFreeAt_{};  // when the last byte sent has left
  bool blocked_ = false;
};

}  // namespace sim
