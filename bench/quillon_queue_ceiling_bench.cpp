// How many stations one PostgreSQL server carries: K stations of E
// encoders each, every encoder a thread that runs the real ledger
// (QueueLedger: claim, sent mark, confirmation, each its round trip and
// commit) against an encoder stand-in that answers at once, for S seconds
// per K. Printed per K: claims a second, the claim's latency (p50, p99),
// and whether every number was handed out once (the claimed numbers all
// differ and equal the cards the server holds confirmed).
//   quillon_queue_ceiling_bench [--queue URL] [--stations 1,2,4,...]
//                               [--encoders E] [--seconds S]
// --queue defaults to $QUILLON_QUEUE; the server needs K*E+K connections
// (pg_cluster.py --max-connections N). Exit 0 when every run was judged
// right.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "encoder_processes.h"
#include "queue_ledger.h"

namespace {

using namespace encoder_processes;
using quillon::batch::LedgerCard;
using quillon::batch::QueueLedger;

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

struct Figures {
  long claims = 0;
  double seconds = 0;
  double p50 = 0, p99 = 0;
  bool judged = false;
  std::string problem;
};

std::string portOf(int station, int encoder) {
  return "/dev/ttyCEIL" + std::to_string(station) + "_" +
         std::to_string(encoder);
}

Figures run(const std::string& url, const std::string& batch, int stations,
            int encoders, double seconds, long cards) {
  Figures figures;
  if (runQuillon({QUILLON_PROGRAM, "--quiet", "--queue", url, "queue", "load",
                  "--batch", batch, "--track2", number(1), "--increment", "2:1",
                  "--count", std::to_string(cards)})
          .first != 0) {
    figures.problem = "the batch cannot be loaded";
    return figures;
  }
  std::vector<std::unique_ptr<QueueLedger>> ledgers;
  for (int s = 0; s < stations; ++s) {
    std::vector<std::string> ports;
    for (int e = 0; e < encoders; ++e) ports.push_back(portOf(s, e));
    auto opened = QueueLedger::open(
        url, batch, "ceiling" + std::to_string(s), ports, [] { return false; },
        [](const std::string&) {});
    if (auto* problem = std::get_if<QueueLedger::Problem>(&opened)) {
      figures.problem = problem->message;
      return figures;
    }
    ledgers.push_back(
        std::move(std::get<std::unique_ptr<QueueLedger>>(opened)));
  }
  std::mutex merged;
  std::vector<double> latencies;
  std::vector<long> numbers;
  std::atomic<bool> failed{false};
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(seconds));
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int s = 0; s < stations; ++s) {
    for (int e = 0; e < encoders; ++e) {
      threads.emplace_back([&, s, e] {
        QueueLedger& ledger = *ledgers[static_cast<std::size_t>(s)];
        const std::string port = portOf(s, e);
        std::vector<double> mine;
        std::vector<long> taken;
        while (Clock::now() < deadline && !failed) {
          const auto before = Clock::now();
          auto claimed = ledger.take(port);
          mine.push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - before)
                  .count());
          auto* card = std::get_if<std::optional<LedgerCard>>(&claimed);
          if (card == nullptr) {
            failed = true;
            break;
          }
          if (!*card) break;  // the batch is used up
          // The stand-in encoder answers at once: written.
          if (!ledger.markSent(**card, port).empty() ||
              !ledger
                   .markConfirmed(**card, port,
                                  std::chrono::system_clock::now())
                   .empty()) {
            failed = true;
            break;
          }
          taken.push_back((*card)->number);
        }
        std::lock_guard lock(merged);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
        numbers.insert(numbers.end(), taken.begin(), taken.end());
      });
    }
  }
  for (auto& thread : threads) thread.join();
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ledgers.clear();  // the last confirmations flushed
  figures.claims = static_cast<long>(numbers.size());
  figures.p50 = percentile(latencies, 0.5);
  figures.p99 = percentile(latencies, 0.99);
  const std::set<long> distinct(numbers.begin(), numbers.end());
  auto connection = quillon::batch::QueueConnection::open(url);
  long held = -1;
  if (auto* c = std::get_if<quillon::batch::QueueConnection>(&connection)) {
    auto counted = c->run(
        "SELECT count(*) FROM quillon_cards c JOIN quillon_batches b ON "
        "b.id = c.batch_id WHERE b.name = $1 AND c.state = 'confirmed'",
        {batch});
    if (counted.ok()) held = counted.number(0, 0);
  }
  figures.judged =
      !failed && distinct.size() == numbers.size() && held == figures.claims;
  if (!figures.judged)
    figures.problem = "claimed " + std::to_string(numbers.size()) + ", " +
                      std::to_string(distinct.size()) + " distinct, " +
                      std::to_string(held) + " confirmed on the server";
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("QUILLON_QUEUE");
  std::string url = env != nullptr ? env : "";
  std::vector<int> stationCounts{1, 2, 4, 8, 16, 32, 64, 128, 256};
  int encoders = 1;
  double seconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--queue") url = argv[i + 1];
    if (option == "--encoders") encoders = std::atoi(argv[i + 1]);
    if (option == "--seconds") seconds = std::atof(argv[i + 1]);
    if (option == "--stations") {
      stationCounts.clear();
      std::stringstream list(argv[i + 1]);
      for (std::string n; std::getline(list, n, ',');)
        stationCounts.push_back(std::atoi(n.c_str()));
    }
  }
  if (url.empty() || encoders < 1 || seconds <= 0 ||
      std::ranges::any_of(stationCounts, [](int n) { return n < 1; })) {
    std::fprintf(stderr,
                 "usage: quillon_queue_ceiling_bench [--queue URL] "
                 "[--stations 1,2,4] [--encoders E] [--seconds S]\n");
    return 2;
  }
  if (runQuillon({QUILLON_PROGRAM, "--quiet", "--queue", url, "queue", "init"})
          .first != 0) {
    std::fprintf(stderr, "the queue's tables cannot be made at that URL\n");
    return 1;
  }
  const std::string tag = "ceiling-" + std::to_string(std::time(nullptr)) +
                          "-" + std::to_string(::getpid());
  std::printf(
      "| stations x %d encoder%s | claims/s | claim p50 | claim p99 | cards "
      "a minute | judged |\n|---|---|---|---|---|---|\n",
      encoders, encoders == 1 ? "" : "s");
  bool allJudged = true;
  int runs = 0;
  for (const int stations : stationCounts) {
    // More cards than the fastest run takes: none runs out.
    const Figures f = run(url, tag + "-" + std::to_string(++runs), stations,
                          encoders, seconds, 200000);
    const double perSecond = f.seconds > 0 ? f.claims / f.seconds : 0;
    std::printf("| %d | %.0f | %.2f ms | %.2f ms | %.0f | %s |\n", stations,
                perSecond, f.p50, f.p99, perSecond * 60,
                f.judged ? "each once" : ("WRONG: " + f.problem).c_str());
    std::fflush(stdout);
    allJudged = allJudged && f.judged;
  }
  return allJudged ? 0 : 1;
}
