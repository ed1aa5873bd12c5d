// The quillon program's two ways to end a reply, side by side in one run,
// against the simulated encoder on a pseudo-terminal (replies paced at
// 9600 baud, cards swiped the moment they are asked for):
//  (a) time from a reply's last byte to the program's next frame, over a
//      write-with-read-back batch (each write's reply is followed by the
//      read-back, each read-back's by the next write);
//  (b) cards per minute for write with --verify and for reading card
//      after card, the program's start and end included.
// "complete" ends a reply once it is whole (quillon's default); "pause"
// after 79 ms of silence, as the library's exported functions do.
// Prints a table. `--cards N` sets the batch size (default 40).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simulated_encoder.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;
using sim::SimulatedEncoder;

struct Run {
  std::vector<double> gapsMs;  // reply's last byte -> next frame
  double seconds = 0;
  int exitCode = -1;
};

// The simulated encoder all runs talk to: the card a write leaves is
// what later reads swipe.
struct Line {
  Line() : encoder(optionsOf()) {
    // Called on the encoder's thread once a burst is on the line, and once
    // a frame has arrived whole.
    encoder.setTrafficObserver(
        [this](SimulatedEncoder::Direction direction, const sim::Bytes&) {
          const auto now = Clock::now();
          std::lock_guard lock(mutex);
          if (direction == SimulatedEncoder::Direction::Sent) {
            lastReplyByte = now;
          } else if (lastReplyByte) {
            gapsMs.push_back(Ms(now - *lastReplyByte).count());
            lastReplyByte.reset();
          }
        });
    if (!encoder.start()) {
      std::fprintf(stderr, "simulated encoder: %s\n",
                   encoder.errorText().c_str());
      std::exit(1);
    }
  }
  static SimulatedEncoder::Options optionsOf() {
    SimulatedEncoder::Options options;
    options.baudRate = 9600;
    options.swipeDelay = std::chrono::milliseconds(0);
    return options;
  }
  SimulatedEncoder encoder;
  std::mutex mutex;
  std::optional<Clock::time_point> lastReplyByte;
  std::vector<double> gapsMs;
};

// Runs quillon with `args` on the line.
Run runQuillon(Line& line, const std::vector<std::string>& args) {
  {
    std::lock_guard lock(line.mutex);
    line.gapsMs.clear();
    line.lastReplyByte.reset();
  }
  Run run;
  SimulatedEncoder& encoder = line.encoder;
  std::vector<std::string> all{QUILLON_PROGRAM, "--quiet", "--port",
                               encoder.slavePath()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) !=
      0) {
    std::perror(QUILLON_PROGRAM);
    std::exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  posix_spawn_file_actions_destroy(&actions);
  std::lock_guard lock(line.mutex);
  run.gapsMs = line.gapsMs;
  return run;
}

double at(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(q * (samples.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  int cards = 40;
  if (argc == 3 && std::strcmp(argv[1], "--cards") == 0)
    cards = std::max(1, std::atoi(argv[2]));
  const std::string count = std::to_string(cards);
  const char* modes[] = {"complete", "pause"};
  Run writes[2], reads[2];
  Line line;
  for (int m = 0; m < 2; ++m) {
    writes[m] = runQuillon(
        line, {"--reply-end", modes[m], "write", "--track2", "0000000001",
               "--increment", "2:1", "--count", count, "--verify"});
    // The batch's last card is what every read swipes.
    reads[m] = runQuillon(line, {"--reply-end", modes[m], "read", "--count",
                                 count, "--format", "csv"});
  }
  for (const Run* r : {&writes[0], &writes[1], &reads[0], &reads[1]}) {
    if (r->exitCode != 0) {
      std::fprintf(stderr, "quillon exited with %d\n", r->exitCode);
      return 1;
    }
  }
  std::printf(
      "| (a) reply's last byte -> next frame | n | median | p99 | max "
      "|\n|---|---|---|---|---|\n");
  for (int m = 0; m < 2; ++m) {
    const auto& g = writes[m].gapsMs;
    std::printf("| %s | %zu | %.2f ms | %.2f ms | %.2f ms |\n", modes[m],
                g.size(), at(g, 0.5), at(g, 0.99), at(g, 1.0));
  }
  std::printf(
      "\n| (b) cards per minute (%d cards a run) | complete | pause "
      "|\n|---|---|---|\n",
      cards);
  const auto perMinute = [&](const Run& r) { return cards * 60.0 / r.seconds; };
  std::printf("| write with --verify | %.0f | %.0f |\n", perMinute(writes[0]),
              perMinute(writes[1]));
  std::printf("| read card after card | %.0f | %.0f |\n", perMinute(reads[0]),
              perMinute(reads[1]));
  return 0;
}
