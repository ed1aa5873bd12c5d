// What the quillon batch benchmarks share: encoder-sim processes (one per
// encoder), quillon runs timed as processes, and the simulators' records
// as the judge of which numbers were written.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace encoder_processes {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

/// Starts `args` (stdout to `stdoutFd`, or /dev/null when negative; stderr
/// appended to `stderrPath`); its pid, or -1.
pid_t spawn(const std::vector<std::string>& args, int stdoutFd,
            const std::string& stderrPath = "/dev/null");

struct Encoder {
  pid_t pid = -1;
  std::string line;
  std::string record;
};

/// An encoder-sim that swipes each card `swipeMs` after it is asked for,
/// recording to `record` (emptied first).
Encoder startEncoder(int swipeMs, const fs::path& record);
void stopEncoder(Encoder& encoder);

/// quillon's exit code and the seconds it ran.
std::pair<int, double> runQuillon(const std::vector<std::string>& args);

/// Track 2 of every card written successfully, per number; the cards of
/// each encoder in `perEncoder`.
std::map<std::string, int> writtenCards(const std::vector<Encoder>& encoders,
                                        std::vector<int>& perEncoder);

/// Card `n`'s track 2: ten digits.
std::string number(long n);

}  // namespace encoder_processes
