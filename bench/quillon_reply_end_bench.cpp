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
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "timed_line.h"

namespace {

using bench::Run;
using bench::TimedLine;

// Runs quillon with `args` on the line.
Run runQuillon(TimedLine& line, const std::vector<std::string>& args) {
  std::vector<std::string> all{QUILLON_PROGRAM, "--quiet", "--port",
                               line.path()};
  all.insert(all.end(), args.begin(), args.end());
  return line.run(all);
}

double at(const std::vector<double>& samples, double q) {
  return bench::quantile(samples, q);
}

}  // namespace

int main(int argc, char** argv) {
  int cards = 40;
  if (argc == 3 && std::strcmp(argv[1], "--cards") == 0)
    cards = std::max(1, std::atoi(argv[2]));
  const std::string count = std::to_string(cards);
  const char* modes[] = {"complete", "pause"};
  Run writes[2], reads[2];
  TimedLine line;
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
