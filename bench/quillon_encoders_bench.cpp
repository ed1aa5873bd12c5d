// One quillon batch over 1, 2, 3 and 4 simulated encoders (encoder-sim
// processes, one per encoder), with instant swipes and with a swipe that
// takes 100 ms, side by side in one run: cards per minute of the batch and
// how they compare with one encoder's. Every run is judged by the
// simulators' records: every number of the batch on exactly one card.
// Then the cost of the journal line that says a card is sent (one more
// fdatasync a card): the journal's two lines against its confirming line
// alone, timed where the program writes them, and a one-encoder batch with
// and without --journal.
//   quillon_encoders_bench [--cards N] [--encoders N] [--dir DIR]
// --cards is the cards per encoder of a run with the 100 ms swipe (default
// 40; 25 times as many with instant swipes), --encoders the
// most encoders (default 4), --dir where the journals go (default: a new
// folder in /tmp). Exit 0 when every run was judged right.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "encoder_processes.h"
#include "journal.h"

namespace {

using namespace encoder_processes;

struct Run {
  int code = -1;
  double seconds = 0;
  long cards = 0;
  std::vector<int> perEncoder;
  bool judged = false;
  [[nodiscard]] double perMinute() const {
    return seconds > 0 ? static_cast<double>(cards) * 60.0 / seconds : 0;
  }
};

// One batch of `cards` over `count` new encoders.
Run batch(int count, int swipeMs, long cards, const fs::path& dir,
          bool journal) {
  std::vector<Encoder> encoders;
  for (int i = 0; i < count; ++i) {
    encoders.push_back(
        startEncoder(swipeMs, dir / ("record" + std::to_string(i) + ".jsonl")));
  }
  std::vector<std::string> args{QUILLON_PROGRAM, "--quiet"};
  for (const Encoder& encoder : encoders) {
    args.push_back("--port");
    args.push_back(encoder.line);
  }
  args.insert(args.end(), {"write", "--track2", number(1), "--increment", "2:1",
                           "--count", std::to_string(cards)});
  const fs::path journalPath = dir / "batch.jsonl";
  fs::remove(journalPath);
  if (journal) {
    args.push_back("--journal");
    args.push_back(journalPath.string());
  }
  Run run;
  run.cards = cards;
  std::tie(run.code, run.seconds) = runQuillon(args);
  for (Encoder& encoder : encoders) stopEncoder(encoder);
  const auto times = writtenCards(encoders, run.perEncoder);
  run.judged =
      run.code == 0 && static_cast<long>(times.size()) == cards &&
      std::ranges::all_of(times, [](const auto& t) { return t.second == 1; });
  for (long n = 1; n <= cards && run.judged; ++n)
    run.judged = times.contains(number(n));
  return run;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// Milliseconds a card's journal lines take, with and without the line
// that says it is sent, as the program writes them.
bool timeJournalLines(const fs::path& dir, int cards) {
  using quillon::batch::CardStep;
  std::vector<double> confirmOnly, withIntent;
  for (const bool intent : {false, true}) {
    const fs::path path = dir / (intent ? "two.jsonl" : "one.jsonl");
    fs::remove(path);
    quillon::batch::Journal journal;
    if (!journal.take(path.string()).empty() || !journal.startWriting().empty())
      return false;
    for (int i = 1; i <= cards; ++i) {
      quillon::batch::CardRecord record;
      record.sequence = i;
      record.selection = 2;
      record.tracks[1] = number(i);
      record.port = "/dev/ttyUSB0";
      const auto start = Clock::now();
      if (intent && !journal
                         .appendStep(i, CardStep::Sent, record.port,
                                     std::chrono::system_clock::now())
                         .empty())
        return false;
      record.time = std::chrono::system_clock::now();
      if (!journal.append(record).empty()) return false;
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - start)
              .count();
      (intent ? withIntent : confirmOnly).push_back(ms);
    }
  }
  std::printf(
      "\n| journal lines a card, %d cards, in %s | median | p99 | max |\n"
      "|---|---|---|---|\n",
      cards, dir.c_str());
  for (const auto& [name, values] :
       {std::pair{"confirming line only", &confirmOnly},
        std::pair{"sent line + confirming line", &withIntent}}) {
    std::printf("| %s | %.3f ms | %.3f ms | %.3f ms |\n", name,
                percentile(*values, 0.5), percentile(*values, 0.99),
                percentile(*values, 1.0));
  }
  std::printf(
      "| the sent line's cost (difference of the medians) | %.3f ms "
      "| | |\n",
      percentile(withIntent, 0.5) - percentile(confirmOnly, 0.5));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long perEncoder = 40;
  int most = 4;
  fs::path dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--cards") perEncoder = std::atol(argv[i + 1]);
    if (option == "--encoders") most = std::atoi(argv[i + 1]);
    if (option == "--dir") dir = argv[i + 1];
  }
  if (perEncoder < 1 || most < 1) {
    std::fprintf(stderr,
                 "usage: quillon_encoders_bench [--cards N] [--encoders N] "
                 "[--dir DIR]\n");
    return 2;
  }
  if (dir.empty()) {
    char folder[] = "/tmp/quillon_encoders_XXXXXX";
    if (::mkdtemp(folder) == nullptr) return 2;
    dir = folder;
  }
  fs::create_directories(dir);
  bool allJudged = true;

  std::printf(
      "| swipe | encoders | cards | seconds | cards/min | x one encoder | "
      "per encoder | goal at 100 ms | judged |\n"
      "|---|---|---|---|---|---|---|---|---|\n");
  for (const int swipeMs : {0, 100}) {
    double one = 0;
    for (int count = 1; count <= most; ++count) {
      // Instant swipes take a card a millisecond: more of them to time.
      const long cards = perEncoder * count * (swipeMs == 0 ? 25 : 1);
      const Run run = batch(count, swipeMs, cards, dir, true);
      if (count == 1) one = run.perMinute();
      std::string shares;
      for (const int n : run.perEncoder)
        shares += (shares.empty() ? "" : "/") + std::to_string(n);
      char goal[32] = "";
      if (swipeMs == 100)
        std::snprintf(goal, sizeof goal, ">= %.1f", 0.9 * count);
      std::printf("| %d ms | %d | %ld | %.2f | %.0f | %.2f | %s | %s | %s |\n",
                  swipeMs, count, run.cards, run.seconds, run.perMinute(),
                  one > 0 ? run.perMinute() / one : 0.0, shares.c_str(), goal,
                  run.judged ? "each once" : "WRONG");
      allJudged = allJudged && run.judged;
    }
  }

  if (!timeJournalLines(dir, 500)) {
    std::fprintf(stderr, "the journal could not be written in %s\n",
                 dir.c_str());
    return 1;
  }
  std::printf(
      "\n| one encoder, instant swipe, %ld cards | seconds | cards/min | "
      "judged |\n|---|---|---|---|\n",
      perEncoder * 25);
  for (const bool journal : {false, true}) {
    const Run run = batch(1, 0, perEncoder * 25, dir, journal);
    std::printf("| %s | %.2f | %.0f | %s |\n",
                journal ? "--journal (two lines a card)" : "no journal",
                run.seconds, run.perMinute(),
                run.judged ? "each once" : "WRONG");
    allJudged = allJudged && run.judged;
  }
  return allJudged ? 0 : 1;
}
