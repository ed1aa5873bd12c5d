// A simulated encoder on a pseudo-terminal (replies paced at 9600 baud,
// cards swiped the moment they are asked for) that times, for a program
// run against it, the gap from each reply's last byte to the next frame.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simulated_encoder.h"

namespace bench {

struct Run {
  std::vector<double> gapsMs;  // reply's last byte -> next frame
  double seconds = 0;
  int exitCode = -1;
  std::string output;  // what the program printed, when kept
};

class TimedLine {
 public:
  TimedLine();
  [[nodiscard]] std::string path() const { return encoder_.slavePath(); }
  /// Runs `argv` (with `environment` added) to its end, timing the
  /// line's gaps meanwhile; its output kept with `keepOutput`.
  Run run(const std::vector<std::string>& argv,
          const std::vector<std::string>& environment = {},
          bool keepOutput = false);

 private:
  sim::SimulatedEncoder encoder_;
  std::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> lastReplyByte_;
  std::vector<double> gapsMs_;
};

/// The `q` quantile of `samples` (0 when there are none).
[[nodiscard]] double quantile(std::vector<double> samples, double q);

}  // namespace bench
