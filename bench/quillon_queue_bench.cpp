// A batch shared by stations through the PostgreSQL card queue, against
// a local server:
//  - what the queue adds to a card: the claim (the lowest pending card
//    marked sent, committed: one statement) and the confirmation, each a
//    round trip and a commit, timed where the program makes them;
//  - cards per minute of 1, 2 and 4 stations of 3 simulated encoders
//    each (a quillon process per station, encoder-sim processes with a
//    100 ms swipe), against the local batch of 3 encoders with a journal
//    times the stations: the queue's cost in per cent.
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
  using quillon::cli::QueueLedger;
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
    const auto& card = std::get<std::optional<quillon::cli::LedgerCard>>(taken);
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
void judge(Run& run, const std::vector<Encoder>& encoders) {
  std::vector<int> perEncoder;
  const auto times = writtenCards(encoders, perEncoder);
  run.judged =
      static_cast<long>(times.size()) == run.cards &&
      std::ranges::all_of(times, [](const auto& t) { return t.second == 1; });
  for (long n = 1; n <= run.cards && run.judged; ++n)
    run.judged = times.contains(number(n));
  for (const int n : perEncoder)
    run.shares += (run.shares.empty() ? "" : "/") + std::to_string(n);
}

std::vector<std::string> portsOf(const std::vector<Encoder>& encoders,
                                 std::size_t first, std::size_t count) {
  std::vector<std::string> args;
  for (std::size_t i = first; i < first + count; ++i) {
    args.push_back("--port");
    args.push_back(encoders[i].line);
  }
  return args;
}

// One station of 3 encoders with a journal on this machine.
Run local(long cards, const fs::path& dir) {
  std::vector<Encoder> encoders;
  for (int i = 0; i < kEncodersPerStation; ++i)
    encoders.push_back(
        startEncoder(kSwipeMs, dir / ("local" + std::to_string(i) + ".jsonl")));
  fs::remove(dir / "local-batch.jsonl");
  std::vector<std::string> args{QUILLON_PROGRAM, "--quiet"};
  for (auto& a : portsOf(encoders, 0, encoders.size())) args.push_back(a);
  for (const std::string a :
       {"write", "--track2", number(1).c_str(), "--increment", "2:1", "--count",
        std::to_string(cards).c_str(), "--journal",
        (dir / "local-batch.jsonl").c_str()})
    args.push_back(a);
  Run run;
  run.cards = cards;
  int code = 0;
  std::tie(code, run.seconds) = runQuillon(args);
  for (Encoder& encoder : encoders) stopEncoder(encoder);
  judge(run, encoders);
  run.judged = run.judged && code == 0;
  return run;
}

// `stations` quillon processes of 3 encoders each on one queue batch.
Run shared(const std::string& url, const std::string& name, int stations,
           long cards, const fs::path& dir) {
  Run run;
  run.cards = cards;
  if (!load(url, name, cards)) return run;
  std::vector<Encoder> encoders;
  for (int i = 0; i < stations * kEncodersPerStation; ++i)
    encoders.push_back(
        startEncoder(kSwipeMs, dir / ("queue" + std::to_string(i) + ".jsonl")));
  std::vector<pid_t> pids;
  const auto start = Clock::now();
  for (int s = 0; s < stations; ++s) {
    std::vector<std::string> args{QUILLON_PROGRAM, "--quiet"};
    for (auto& a :
         portsOf(encoders, static_cast<std::size_t>(s * kEncodersPerStation),
                 kEncodersPerStation))
      args.push_back(a);
    for (const std::string a : {"write", "--queue", url.c_str(), "--batch",
                                name.c_str(), "--station"})
      args.push_back(a);
    args.push_back("station" + std::to_string(s + 1));
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
  judge(run, encoders);
  run.judged = run.judged && allDone;
  return run;
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
  const Run alone = local(perStation, dir);
  bool allJudged = alone.judged;
  std::printf(
      "\n| %d ms swipe, %d encoders a station | cards | seconds | cards/min "
      "| local batch x stations | queue's cost | per encoder | judged |\n"
      "|---|---|---|---|---|---|---|---|\n"
      "| local batch (--journal), 1 station | %ld | %.2f | %.0f | | | %s | "
      "%s |\n",
      kSwipeMs, kEncodersPerStation, alone.cards, alone.seconds,
      alone.perMinute(), alone.shares.c_str(),
      alone.judged ? "each once" : "WRONG");
  for (const int stations : stationCounts) {
    const Run run = shared(url, tag + "-" + std::to_string(stations), stations,
                           perStation * stations, dir);
    const double expected = alone.perMinute() * stations;
    std::printf(
        "| queue, %d station%s | %ld | %.2f | %.0f | %.0f | %.1f %% | "
        "%s | %s |\n",
        stations, stations == 1 ? "" : "s", run.cards, run.seconds,
        run.perMinute(), expected, 100.0 * (1.0 - run.perMinute() / expected),
        run.shares.c_str(), run.judged ? "each once" : "WRONG");
    allJudged = allJudged && run.judged;
  }
  fs::remove_all(dir);
  return allJudged ? 0 : 1;
}
