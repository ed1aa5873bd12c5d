// A batch shared by stations through the PostgreSQL card queue, against
// a local server:
//  - what the queue adds to a card: the claim (the lowest pending card
//    marked sent, committed: one statement) and the confirmation, each a
//    round trip and a commit, timed where the program makes them;
//  - cards per minute of 1, 2 and 4 stations of 3 simulated encoders
//    each (a quillon process per station, encoder-sim processes with a
//    100 ms swipe) on one queue batch, against the same stations at once
//    with a local batch (and journal) each: the queue's cost in per cent.
// Every run is judged by the simulators' records: every number of the
// batch on exactly one card.
//   quillon_queue_bench [--queue URL] [--cards N] [--claims N]
//                       [--stations 1,2,4]
// --queue defaults to $QUILLON_QUEUE (tests/support/pg_cluster.py starts
// a throwaway server and runs the benchmark with it set); --cards per
// encoder (default 40), --claims timed (default 1000). Exit 0 when every
// run was judged right.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "encoder_processes.h"
#include "queue_ledger.h"

namespace {

using namespace encoder_processes;
constexpr int kEncodersPerStation = 3;
constexpr int kSwipeMs = 100;

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start)
      .count();
}

// A new batch of `cards` in the queue, under a name no run used.
bool load(const std::string& url, const std::string& name, long cards) {
  return runQuillon({QUILLON_PROGRAM, "--quiet", "--queue", url, "queue",
                     "load", "--batch", name, "--track2", number(1),
                     "--increment", "2:1", "--count", std::to_string(cards)})
             .first == 0;
}

// Claims and confirmations of `claims` cards by one encoder, timed.
bool timeClaims(const std::string& url, const std::string& name, long claims) {
  using quillon::batch::QueueLedger;
  if (!load(url, name, claims)) return false;
  auto opened = QueueLedger::open(
      url, name, "bench", {"/dev/ttyBENCH"}, [] { return false; },
      [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
      });
  if (auto* problem = std::get_if<QueueLedger::Problem>(&opened)) {
    std::fprintf(stderr, "%s\n", problem->message.c_str());
    return false;
  }
  auto& ledger = *std::get<std::unique_ptr<QueueLedger>>(opened);
  std::vector<double> claim, confirm, both;
  for (;;) {
    const auto start = Clock::now();
    auto taken = ledger.take("/dev/ttyBENCH");
    const double claimMs = msSince(start);
    if (std::holds_alternative<std::string>(taken)) return false;
    const auto& card =
        std::get<std::optional<quillon::batch::LedgerCard>>(taken);
    if (!card) break;
    const auto between = Clock::now();
    if (!ledger.markSent(*card, "/dev/ttyBENCH").empty() ||
        !ledger
             .markConfirmed(*card, "/dev/ttyBENCH",
                            std::chrono::system_clock::now())
             .empty())
      return false;
    claim.push_back(claimMs);
    confirm.push_back(msSince(between));
    both.push_back(msSince(start));
  }
  if (static_cast<long>(claim.size()) != claims) return false;
  std::printf(
      "| a card's steps in the queue, %ld cards | median | p99 | max |\n"
      "|---|---|---|---|\n",
      claims);
  for (const auto& [what, values] :
       {std::pair{"claim (marked sent, committed)", &claim},
        std::pair{"confirmation (committed)", &confirm},
        std::pair{"both: what the queue adds to a card", &both}}) {
    std::printf("| %s | %.3f ms | %.3f ms | %.3f ms |\n", what,
                percentile(*values, 0.5), percentile(*values, 0.99),
                percentile(*values, 1.0));
  }
  return true;
}

struct Run {
  double seconds = 0;
  long cards = 0;
  bool judged = false;
  std::string shares;
  [[nodiscard]] double perMinute() const {
    return seconds > 0 ? static_cast<double>(cards) * 60.0 / seconds : 0;
  }
};

// Every number 1..cards on exactly one card of `encoders`.
bool eachOnce(const std::vector<Encoder>& encoders, long cards,
              std::string& shares) {
  std::vector<int> perEncoder;
  const auto times = writtenCards(encoders, perEncoder);
  bool judged =
      static_cast<long>(times.size()) == cards &&
      std::ranges::all_of(times, [](const auto& t) { return t.second == 1; });
  for (long n = 1; n <= cards && judged; ++n)
    judged = times.contains(number(n));
  for (const int n : perEncoder)
    shares += (shares.empty() ? "" : "/") + std::to_string(n);
  return judged;
}

// `stations` quillon processes at once, each with 3 new encoders and the
// write options `writeArgs(station)` gives; every encoder judged after.
template <typename WriteArgs, typename Judge>
Run stationsAtOnce(int stations, long cards, const fs::path& dir,
                   const WriteArgs& writeArgs, const Judge& judgeEach) {
  Run run;
  run.cards = cards;
  std::vector<Encoder> encoders;
  for (int i = 0; i < stations * kEncodersPerStation; ++i)
    encoders.push_back(startEncoder(
        kSwipeMs, dir / ("record" + std::to_string(i) + ".jsonl")));
  std::vector<pid_t> pids;
  const auto start = Clock::now();
  for (int s = 0; s < stations; ++s) {
    std::vector<std::string> args{QUILLON_PROGRAM, "--quiet"};
    for (int i = s * kEncodersPerStation; i < (s + 1) * kEncodersPerStation;
         ++i) {
      args.push_back("--port");
      args.push_back(encoders[static_cast<std::size_t>(i)].line);
    }
    args.push_back("write");
    for (auto& a : writeArgs(s)) args.push_back(a);
    pids.push_back(spawn(args, -1));
  }
  bool allDone = true;
  for (const pid_t pid : pids) {
    int status = 0;
    allDone = allDone && pid > 0 && ::waitpid(pid, &status, 0) == pid &&
              WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  run.seconds = msSince(start) / 1000.0;
  for (Encoder& encoder : encoders) stopEncoder(encoder);
  run.judged = allDone && judgeEach(encoders, run.shares);
  return run;
}

// Each station a batch of its own, with a journal on its machine.
Run localBatches(int stations, long perStation, const fs::path& dir) {
  for (int s = 0; s < stations; ++s)
    fs::remove(dir / ("batch" + std::to_string(s) + ".jsonl"));
  return stationsAtOnce(
      stations, perStation * stations, dir,
      [&](int s) {
        return std::vector<std::string>{
            "--track2",
            number(1),
            "--increment",
            "2:1",
            "--count",
            std::to_string(perStation),
            "--journal",
            (dir / ("batch" + std::to_string(s) + ".jsonl")).string()};
      },
      [&](const std::vector<Encoder>& encoders, std::string& shares) {
        bool judged = true;
        for (int s = 0; s < stations; ++s) {
          const auto first = encoders.begin() + s * kEncodersPerStation;
          judged = eachOnce({first, first + kEncodersPerStation}, perStation,
                            shares) &&
                   judged;
        }
        return judged;
      });
}

// One batch of the queue shared by the stations.
Run queueBatch(const std::string& url, const std::string& name, int stations,
               long perStation, const fs::path& dir) {
  const long cards = perStation * stations;
  if (!load(url, name, cards)) return Run{};
  return stationsAtOnce(
      stations, cards, dir,
      [&](int s) {
        return std::vector<std::string>{
            "--queue", url,         "--batch",
            name,      "--station", "station" + std::to_string(s + 1)};
      },
      [&](const std::vector<Encoder>& encoders, std::string& shares) {
        return eachOnce(encoders, cards, shares);
      });
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("QUILLON_QUEUE");
  std::string url = env != nullptr ? env : "";
  long perEncoder = 40;
  long claims = 1000;
  std::vector<int> stationCounts{1, 2, 4};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--queue") url = argv[i + 1];
    if (option == "--cards") perEncoder = std::atol(argv[i + 1]);
    if (option == "--claims") claims = std::atol(argv[i + 1]);
    if (option == "--stations") {
      stationCounts.clear();
      std::stringstream list(argv[i + 1]);
      for (std::string n; std::getline(list, n, ',');)
        stationCounts.push_back(std::atoi(n.c_str()));
    }
  }
  if (url.empty() || perEncoder < 1 || claims < 1 ||
      std::ranges::any_of(stationCounts, [](int n) { return n < 1; })) {
    std::fprintf(stderr,
                 "usage: quillon_queue_bench [--queue URL] [--cards N] "
                 "[--claims N] [--stations 1,2,4] (or QUILLON_QUEUE)\n");
    return 2;
  }
  char folder[] = "/tmp/quillon_queue_bench_XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 2;
  const fs::path dir = folder;
  // Batch names no earlier run of the same queue used.
  const std::string tag = "bench-" + std::to_string(std::time(nullptr)) + "-" +
                          std::to_string(::getpid());
  if (runQuillon({QUILLON_PROGRAM, "--quiet", "--queue", url, "queue", "init"})
          .first != 0) {
    std::fprintf(stderr, "the queue's tables cannot be made at that URL\n");
    return 1;
  }
  if (!timeClaims(url, tag + "-claims", claims)) {
    std::fprintf(stderr, "the claims could not be timed\n");
    return 1;
  }

  const long perStation = perEncoder * kEncodersPerStation;
  bool allJudged = true;
  std::printf(
      "\n| %d ms swipe, %d encoders a station | cards | seconds | cards/min "
      "| queue's cost | per encoder | judged |\n"
      "|---|---|---|---|---|---|---|\n",
      kSwipeMs, kEncodersPerStation);
  for (const int stations : stationCounts) {
    // The same stations at once, each with a batch of its own: the same
    // processes on the same cores, without the queue.
    const Run alone = localBatches(stations, perStation, dir);
    const Run run = queueBatch(url, tag + "-" + std::to_string(stations),
                               stations, perStation, dir);
    for (const Run* r : {&alone, &run}) {
      const bool queued = r == &run;
      char cost[32] = "";
      if (queued)
        std::snprintf(cost, sizeof cost, "%.1f %%",
                      100.0 * (1.0 - run.perMinute() / alone.perMinute()));
      std::printf("| %d station%s, %s | %ld | %.2f | %.0f | %s | %s | %s |\n",
                  stations, stations == 1 ? "" : "s",
                  queued ? "one queue batch" : "a local batch each (--journal)",
                  r->cards, r->seconds, r->perMinute(), cost, r->shares.c_str(),
                  r->judged ? "each once" : "WRONG");
      allJudged = allJudged && r->judged;
    }
  }
  fs::remove_all(dir);
  return allJudged ? 0 : 1;
}
