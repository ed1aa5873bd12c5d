// A long shift compressed, through the quillon program: card reads to a
// JSON Lines output, numbered writes (--increment) and writes from a CSV
// file (--from), both with --verify and a --journal, against encoder-sim
// as a process with instant swipes and replies at 115200 baud. The encoder
// fails some cards (blank cards in its deck fail their read; some writes leave
// a changed card, which the read-back catches) and is unplugged in the middle
// of one run a round; quillon then exits, and the shift starts a new
// encoder-sim and runs the same command again (with --resume for writes, for
// the cards still missing for reads), as an operator would. Samples quillon's
// resident set and descriptors every 250 cards of a run and judges every
// confirmed card in the outputs and journals exactly once, against the
// deck and encoder-sim's --record.
//   quillon_soak_bench [--cards N] [--round N] [--keep DIR] [--verbose]
// A round (default 5,000 cards) is 40 % reads, 30 % numbered writes and
// 30 % CSV writes; the unplug falls in turn on each. --keep leaves the
// files of the shift in DIR; --verbose lists every sample. Exit 0 when the
// judge finds nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "encoder_processes.h"
#include "soak_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using soak::Tracks;
namespace fs = std::filesystem;

constexpr int kBlankEvery = 40;  // a blank card (a failed read) this often
// Cards past a read run's count: a good card reported failed (a reply cut
// short) is not read again, so the run reads one more.
constexpr int kSpareCards = 50;

// Writes the encoder leaves changed, counted per encoder-sim process.
const std::vector<int> kCorruptWrites = {37, 211, 480, 777, 1203, 1601, 2222};

using encoder_processes::spawn;

// Counts a growing file's complete lines, and those holding `mark`.
class LineCounter {
 public:
  LineCounter(std::string path, std::string mark)
      : path_(std::move(path)), mark_(std::move(mark)) {}
  int update() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return marked_;
    in.seekg(offset_);
    std::string line;
    while (std::getline(in, line) && !in.eof()) {
      offset_ += static_cast<std::streamoff>(line.size() + 1);
      if (line.find(mark_) != std::string::npos) ++marked_;
    }
    return marked_;
  }

 private:
  std::string path_, mark_;
  std::streamoff offset_ = 0;
  int marked_ = 0;
};

// The i-th card of round `round`'s deck.
Tracks readCard(int round, int i) {
  char t1[64], t2[64], t3[64];
  std::snprintf(t1, sizeof t1, "QUILLON READ %02d %05d", round, i);
  std::snprintf(t2, sizeof t2, "%04d%06d", 3000 + round, i);
  std::snprintf(t3, sizeof t3, "%d", 700000 + i);
  return {t1, t2, t3};
}

// The cards of JSON Lines files, in order: those with "status":"ok" (an
// output) or every confirming line (a journal: its other lines have a
// "state"). `bad` counts lines that do not parse.
std::vector<Tracks> cardsOf(const std::vector<fs::path>& files, bool okOnly,
                            int& bad) {
  std::vector<Tracks> cards;
  for (const auto& file : files) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      const auto json = nlohmann::json::parse(line, nullptr, false);
      if (!json.is_object()) {
        ++bad;
        continue;
      }
      if (okOnly && json.value("status", "") != "ok") continue;
      if (json.contains("state")) continue;  // a card sent, not confirmed
      cards.push_back({json.value("track1", ""), json.value("track2", ""),
                       json.value("track3", "")});
    }
  }
  return cards;
}

// Where a card read lies in the decks (round, index); nullopt for a card
// that is in none.
std::optional<std::pair<int, int>> deckPlace(const Tracks& card) {
  int round = 0, i = 0;
  if (std::sscanf(card.track1.c_str(), "QUILLON READ %d %d", &round, &i) != 2 ||
      readCard(round, i) != card) {
    return std::nullopt;
  }
  return std::pair(round, i);
}

class Shift {
 public:
  Shift(int cards, int round, fs::path work)
      : cards_(cards),
        sampleEvery_(std::clamp(round / 20, 10, 250)),
        work_(std::move(work)) {
    record_ = (work_ / "record.jsonl").string();
    stderr_ = (work_ / "stderr.txt").string();
  }
  // A shift that stopped on a failure leaves no encoder-sim behind.
  ~Shift() { stopEncoder(); }
  Shift(const Shift&) = delete;
  Shift& operator=(const Shift&) = delete;

  bool run(int round) {
    const int reads = round * 4 / 10;
    const int numbered = round * 3 / 10;
    const int fromCsv = round - reads - numbered;
    for (int r = 0; r * round < cards_; ++r) {
      const int unplugIn = r % 3;
      if (!readSegment(r, reads, unplugIn == 0) ||
          !numberedSegment(r, numbered, unplugIn == 1) ||
          !csvSegment(r, fromCsv, unplugIn == 2)) {
        return false;
      }
    }
    stopEncoder();
    return true;
  }

  std::vector<soak::Sample> samples;
  std::vector<Tracks> meantWrites;
  std::vector<fs::path> outputs, journals;
  int unplugs = 0;
  int runs = 0;
  std::string failure;
  const std::string& record() const { return record_; }
  const std::string& stderrPath() const { return stderr_; }

 private:
  bool startEncoder(const std::vector<std::string>& deck) {
    stopEncoder();
    const std::string deckPath = (work_ / "deck.txt").string();
    std::ofstream out(deckPath, std::ios::trunc);
    for (const auto& line : deck) out << line << '\n';
    out.close();
    // Replies paced at 115200 baud, so that an unplug meant for the middle
    // of a run lands there.
    // One name for the encoder across unplugs, as /dev/serial/by-id/
    // gives a device: the journal names its cards in doubt by it.
    const std::string link = (work_ / "encoder").string();
    std::vector<std::string> args{ENCODER_SIM_PROGRAM,
                                  "--link",
                                  link,
                                  "--swipe-delay",
                                  "0",
                                  "--baud",
                                  "115200",
                                  "--deck",
                                  deckPath,
                                  "--record",
                                  record_};
    for (const int n : kCorruptWrites) {
      args.push_back("--corrupt-write");
      args.push_back(std::to_string(n));
    }
    int line[2];
    if (::pipe(line) != 0) return false;
    encoder_ = spawn(args, line[1], stderr_);
    ::close(line[1]);
    std::string path;
    char c = 0;
    while (::read(line[0], &c, 1) == 1 && c != '\n') path += c;
    ::close(line[0]);
    if (encoder_ < 0 || path.empty()) {
      failure = "encoder-sim did not start";
      return false;
    }
    port_ = link;
    return true;
  }

  // SIGTERM: encoder-sim closes its line, as when the cable is pulled.
  void stopEncoder() {
    if (encoder_ <= 0) return;
    ::kill(encoder_, SIGTERM);
    ::waitpid(encoder_, nullptr, 0);
    encoder_ = -1;
  }

  // Runs quillon to its end, which is `total` cards in the progress file;
  // with `unplugAt`, the encoder goes away once it has that many. The exit
  // code, or -1 when it stalled (then killed).
  int runQuillon(std::vector<std::string> args, const std::string& progress,
                 const std::string& mark, int total, int unplugAt) {
    args.insert(args.begin(), {QUILLON_PROGRAM, "--quiet", "--port", port_});
    ++runs;
    unplugged_ = false;
    LineCounter counter(progress, mark);
    const int before = counter.update();  // a journal resumed
    const pid_t pid = spawn(args, -1, stderr_);
    if (pid < 0) return -1;
    int nextSample = before + 1;
    int lastCount = 0;
    auto lastMove = Clock::now();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      const int count = counter.update();
      // After its last card the program is on its way out.
      if (count >= nextSample && count < total) {
        soak::Sample s;
        s.card = cardsBefore_ + count - before;
        s.pid = pid;
        s.rssKiB = soak::residentKiB(pid);
        s.descriptors = soak::openDescriptors(pid);
        if (s.rssKiB > 0) samples.push_back(s);
        nextSample = (count / sampleEvery_ + 1) * sampleEvery_;
      }
      if (unplugAt > 0 && count >= unplugAt && count < total) {
        stopEncoder();
        ++unplugs;
        unplugAt = 0;
        unplugged_ = true;
      }
      if (count != lastCount) {
        lastCount = count;
        lastMove = Clock::now();
      } else if (Clock::now() - lastMove > std::chrono::seconds(30)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    cardsBefore_ += counter.update() - before;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool expectExit(int got, int wanted, const std::string& what) {
    if (got == wanted) return true;
    failure = what + ": quillon exited with " + std::to_string(got) +
              " instead of " + std::to_string(wanted) + " (see " + stderr_ +
              ")";
    return false;
  }

  // The deck from card `from` to before `end`: a blank card before every
  // 40th.
  static std::vector<std::string> deckFrom(int round, int from, int end) {
    std::vector<std::string> deck;
    for (int i = from; i < end; ++i) {
      if (i % kBlankEvery == kBlankEvery / 2) deck.emplace_back();
      const Tracks c = readCard(round, i);
      deck.push_back(c.track1 + "|" + c.track2 + "|" + c.track3);
    }
    return deck;
  }

  // Reads `count` cards; after an unplug the rest of the deck goes into
  // the new encoder from the card after the last one read.
  bool readSegment(int round, int count, bool unplug) {
    int got = 0;
    int next = 0;
    for (int part = 0; got < count; ++part) {
      if (!startEncoder(deckFrom(round, next, count + kSpareCards)))
        return false;
      const fs::path output = work_ / ("read-" + std::to_string(round) + "-" +
                                       std::to_string(part) + ".jsonl");
      outputs.push_back(output);
      const bool pull = unplug && part == 0;
      const int code = runQuillon(
          {"read", "--tracks", "1,2,3", "--count", std::to_string(count - got),
           "--format", "json", "--output", output.string()},
          output.string(), "\"status\":\"ok\"", count - got,
          pull ? count / 2 : 0);
      if (!expectExit(code, unplugged_ ? 2 : 0, "reading")) return false;
      int bad = 0;
      const auto cards = cardsOf({output}, true, bad);
      got += static_cast<int>(cards.size());
      if (!cards.empty()) {
        if (const auto place = deckPlace(cards.back()))
          next = place->second + 1;
      }
      if (part > 1) {
        failure = "reading did not end after an unplug";
        return false;
      }
    }
    return true;
  }

  // Runs a write batch to its end, once more with --resume after the
  // unplug.
  bool writeBatch(std::vector<std::string> args, const fs::path& journal,
                  int count, bool unplug, const char* what) {
    journals.push_back(journal);
    args.insert(args.end(), {"--verify", "--journal", journal.string()});
    int code = runQuillon(args, journal.string(), "\"track1\"", count,
                          unplug ? count / 2 : 0);
    if (unplugged_) {
      if (!expectExit(code, 2, what) || !startEncoder({})) return false;
      args.push_back("--resume");
      code = runQuillon(args, journal.string(), "\"track1\"", count, 0);
    }
    return expectExit(code, 0, what);
  }

  bool numberedSegment(int round, int count, bool unplug) {
    if (!startEncoder({})) return false;  // a new one, with no deck
    const std::string track1 = "QUILLON ROUND " + std::to_string(round);
    const long first = (1000L + round) * 1000000L;
    for (int i = 0; i < count; ++i)
      meantWrites.push_back({track1, std::to_string(first + i), "333"});
    return writeBatch({"write", "--track1", track1, "--track2",
                       std::to_string(first), "--track3", "333", "--increment",
                       "2:1", "--count", std::to_string(count)},
                      work_ / ("numbered-" + std::to_string(round) + ".jsonl"),
                      count, unplug, "numbered writes");
  }

  bool csvSegment(int round, int count, bool unplug) {
    if (!startEncoder({})) return false;
    const fs::path csv = work_ / ("cards-" + std::to_string(round) + ".csv");
    std::ofstream out(csv, std::ios::binary | std::ios::trunc);
    out << "track2,track3\r\n";
    for (int i = 0; i < count; ++i) {
      const std::string n =
          std::to_string(5000000000LL + round * 1000000LL + i);
      out << n << "=49," << n << "\r\n";
      meantWrites.push_back({"", n + "=49", n});
    }
    out.close();
    return writeBatch({"write", "--from", csv.string()},
                      work_ / ("csv-" + std::to_string(round) + ".jsonl"),
                      count, unplug, "writes from CSV");
  }

  int cards_;
  int sampleEvery_;  // cards of a run between two looks at it
  fs::path work_;
  std::string record_, stderr_, port_;
  pid_t encoder_ = -1;
  long cardsBefore_ = 0;
  // The last run lost its encoder (a run may also end before the unplug
  // it was meant to have falls).
  bool unplugged_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  int cards = 20000;
  int round = 5000;
  std::string keep;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0) verbose = true;
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cards") == 0) cards = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--round") == 0) round = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--keep") == 0) keep = argv[i + 1];
  }
  round = std::clamp(round, 10, std::max(10, cards));
  fs::path work = keep;
  if (keep.empty()) {
    std::string name = (fs::temp_directory_path() / "quillon-soak-XXXXXX");
    if (::mkdtemp(name.data()) == nullptr) return 1;
    work = name;
  } else {
    fs::create_directories(work);
  }

  const auto started = Clock::now();
  Shift shift(cards, round, work);
  const bool completed = shift.run(round);
  const double seconds =
      std::chrono::duration<double>(Clock::now() - started).count();

  // The judge.
  int bad = 0;
  const auto read = cardsOf(shift.outputs, true, bad);
  const auto journaled = cardsOf(shift.journals, false, bad);
  int unreadable = 0;
  const auto recorded = soak::readWriteRecord(shift.record(), unreadable);
  std::vector<std::string> problems;
  if (!completed) problems.push_back(shift.failure);
  if (const auto p = soak::firstDifference(shift.meantWrites, journaled,
                                           "cards in the journals");
      !p.empty()) {
    problems.push_back(p);
  }
  // The reads: deck cards in deck order, none twice, each round's count;
  // a good card reported failed is passed by, never read twice.
  std::pair<int, int> last{0, -1};
  std::map<int, int> readsOfRound;
  int passedBy = 0;
  for (const auto& card : read) {
    const auto place = deckPlace(card);
    if (!place) {
      problems.push_back("a card read that is in no deck: " +
                         soak::describe(card));
    } else if (*place <= last) {
      problems.push_back("a card read twice or out of order: " +
                         soak::describe(card));
    } else {
      passedBy +=
          place->second - (place->first == last.first ? last.second + 1 : 0);
      last = *place;
      ++readsOfRound[place->first];
    }
  }
  const int roundReads = std::clamp(round, 10, std::max(10, cards)) * 4 / 10;
  for (int r = 0; r * round < cards; ++r) {
    if (readsOfRound[r] != roundReads)
      problems.push_back("round " + std::to_string(r) + ": " +
                         std::to_string(readsOfRound[r]) + " cards read, not " +
                         std::to_string(roundReads));
  }
  // Every journaled card is in the record as written ('p'), in order;
  // a card written again is one whose read-back was cut off by an unplug,
  // a changed card one the encoder was told to spoil.
  std::size_t j = 0;
  int writtenAgain = 0, changed = 0;
  const std::set<std::string> meantTexts = [&] {
    std::set<std::string> s;
    for (const auto& c : shift.meantWrites) s.insert(soak::describe(c));
    return s;
  }();
  for (const auto& w : recorded) {
    if (!w.succeeded) {
      continue;  // answered 'q': quillon writes the card again
    } else if (j < journaled.size() && w.tracks == journaled[j]) {
      ++j;
    } else if (meantTexts.count(soak::describe(w.tracks)) != 0) {
      ++writtenAgain;
    } else {
      ++changed;
    }
  }
  if (j != journaled.size())
    problems.push_back("journaled card " + std::to_string(j + 1) +
                       " is not in the record in order");
  // quillon says so for every card it did not count.
  const int readBackFailed =
      LineCounter(shift.stderrPath(), "could not be read back").update();
  if (writtenAgain > shift.unplugs + readBackFailed)
    problems.push_back(std::to_string(writtenAgain) +
                       " cards written again for " +
                       std::to_string(shift.unplugs) + " unplugs and " +
                       std::to_string(readBackFailed) + " failed read-backs");
  if (bad + unreadable != 0)
    problems.push_back(std::to_string(bad + unreadable) +
                       " lines that do not parse");

  const soak::Summary s = soak::summarize(shift.samples);
  std::printf(
      "| cards confirmed (reads + writes) | %zu (%zu + %zu) |\n"
      "| failed reads / good cards among them / changed cards caught | %d / "
      "%d / %d |\n"
      "| read-backs that failed | %d |\n"
      "| quillon runs / unplugs / cards written twice | %d / %d / "
      "%d |\n"
      "| wall time | %.1f s |\n"
      "| RSS at card %ld / at card %ld / max | %ld / %ld / %ld KiB |\n"
      "| largest RSS growth within one run | %ld KiB |\n"
      "| descriptors first / last / max | %d / %d / %d |\n"
      "| largest descriptor growth within one run | %d |\n"
      "| every confirmed card exactly once | %s |\n",
      read.size() + journaled.size(), read.size(), journaled.size(),
      [&] {
        int n = 0;
        for (const auto& f : shift.outputs)
          n += LineCounter(f.string(), "\"status\":\"failed\"").update();
        return n;
      }(),
      passedBy, changed, readBackFailed, shift.runs, shift.unplugs,
      writtenAgain, seconds, s.first.card, s.last.card, s.first.rssKiB,
      s.last.rssKiB, s.maxRssKiB, s.maxGrowthKiB, s.first.descriptors,
      s.last.descriptors, s.maxDescriptors, s.maxDescriptorGrowth,
      problems.empty() ? "yes" : "NO");
  for (const auto& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
  if (verbose) {
    for (const auto& x : shift.samples) {
      std::fprintf(stderr, "card %ld: quillon %d, %ld KiB, %d descriptors\n",
                   x.card, static_cast<int>(x.pid), x.rssKiB, x.descriptors);
    }
  }
  if (keep.empty() && problems.empty()) fs::remove_all(work);
  return problems.empty() ? 0 : 1;
}
