// A long shift compressed: Velmora's main dialog (offscreen, in this
// process) reads, writes numbered cards (auto-increment) and writes cards
// from data files, card after card, against the simulated encoder in a
// child process with instant swipes, while the encoder fails some reads
// and writes and is unplugged now and then (the operator then opens the
// port again on the new line and goes on). Samples the program's
// resident set, descriptors and timers after every round and judges the
// operation log: every confirmed card exactly once, nothing else, and the
// written ones the same as the encoder's record.
//   velmora_soak_bench [--cards N] [--round N] [--log-dir DIR]
// A round (default 1,000 cards) is 40 % reads, 30 % numbered writes and
// 30 % data-file writes; each round unplugs the encoder once, in turn
// during a read, a numbered write and a data-file write. Exit 0 when the
// log is right and every unplug gave one message.
#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "counting_prompt.h"
#include "encode_dlg.h"
#include "encoder_protocol.h"
#include "mscomm.h"
#include "simulated_encoder.h"
#include "soak_support.h"

namespace {

using soak::Tracks;

constexpr int kOpenPort = 32771;

// The card the i-th read swipes (the deck is the same in both processes).
Tracks deckCard(int i) {
  char t1[64], t2[64], t3[64];
  std::snprintf(t1, sizeof t1, "READ CARD %06d", i);
  std::snprintf(t2, sizeof t2, "%010d", 300000000 + i);
  std::snprintf(t3, sizeof t3, "%d", 700000 + i);
  return {t1, t2, t3};
}

// The card numbered write `i` of round `round` writes.
Tracks numberedCard(int round, int i) {
  return {"SOAK ROUND " + std::to_string(round),
          std::to_string((1000L + round) * 1000000L + i), "333"};
}

// The card line `i` of round `round`'s data files writes.
Tracks fileCard(int round, int i) {
  const std::string n = std::to_string(5000000000LL + round * 1000000LL + i);
  return {"", n + "=49", n};
}

// The parts of a round: reads, numbered writes, data-file writes.
struct RoundParts {
  explicit RoundParts(int round)
      : reads(round * 4 / 10),
        numbered(round * 3 / 10),
        fromFile(round - reads - numbered) {}
  int reads, numbered, fromFile;
};

// Shared with the encoder's process.
struct Shared {
  std::atomic<int> readsOk;
  std::atomic<int> readsFailed;
  int capacity;
  char readStatus[1];  // per deck card: 0 not swiped, 'p' or 'q'
};

// The encoder's process: answers one command line at a time on `in` with
// one line on `out` once it has taken effect (a swipe setting must be in
// place before the next frame arrives):
//   i  instant swipes         h  hold every card (no swipe)
//   f N  fail the next N      w  "1" when an operation waits for a card
//   u  unplug, serve a new line and answer its path       q  quit
[[noreturn]] void serveEncoder(Shared* shared, int deckSize,
                               const std::string& record, int in, int out) {
  sim::SimulatedEncoder encoder;
  std::vector<sim::Card> deck;
  for (int i = 0; i < deckSize; ++i) {
    const Tracks c = deckCard(i);
    deck.push_back({c.track1, c.track2, c.track3});
  }
  encoder.loadDeck(std::move(deck));
  encoder.setWriteRecordFile(record);
  // Each read reply uses one deck card up, in order.
  bool lastWasRead = false;
  int swiped = 0;
  encoder.setTrafficObserver(
      [&](sim::SimulatedEncoder::Direction way, const sim::Bytes& bytes) {
        if (way == sim::SimulatedEncoder::Direction::Received) {
          lastWasRead = bytes.size() >= 4 && bytes[0] == protocol::kEsc &&
                        bytes[1] != 't' && bytes[bytes.size() - 1] == 'j';
          return;
        }
        if (!lastWasRead || bytes.empty()) return;
        const char status = static_cast<char>(bytes.back());
        if (status != 'p' && status != 'q') return;
        lastWasRead = false;
        if (swiped < shared->capacity) shared->readStatus[swiped] = status;
        ++swiped;
        ++(status == 'p' ? shared->readsOk : shared->readsFailed);
      });
  const auto answer = [out](const std::string& line) {
    const std::string text = line + "\n";
    if (::write(out, text.data(), text.size()) < 0) _exit(1);
  };
  answer(encoder.start() ? encoder.slavePath() : std::string());
  std::string line;
  char c = 0;
  while (::read(in, &c, 1) == 1) {
    if (c != '\n') {
      line += c;
      continue;
    }
    switch (line.empty() ? 'q' : line[0]) {
      case 'i':
        encoder.setSwipeDelay(std::chrono::milliseconds(0));
        answer("ok");
        break;
      case 'h':
        encoder.setSwipeDelay(std::nullopt);
        answer("ok");
        break;
      case 'f':
        encoder.failNext(std::atoi(line.c_str() + 2));
        answer("ok");
        break;
      case 'w': answer(encoder.waitingForSwipe() ? "1" : "0"); break;
      case 'u':
        encoder.unplug();
        answer(encoder.start() ? encoder.slavePath() : std::string());
        break;
      default: encoder.stop(); _exit(0);
    }
    line.clear();
  }
  _exit(0);
}

// Talks to the encoder's process.
class EncoderProcess {
 public:
  bool start(Shared* shared, int deckSize, const std::string& record) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      serveEncoder(shared, deckSize, record, down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_ = down[1];
    from_ = up[0];
    path_ = readLine();
    return !path_.empty();
  }
  void send(const std::string& command) {
    const std::string text = command + "\n";
    if (::write(to_, text.data(), text.size()) < 0) std::perror("encoder");
  }
  std::string ask(const std::string& command) {
    send(command);
    return readLine();
  }
  void quit() {
    send("q");
    ::waitpid(pid_, nullptr, 0);
    ::close(to_);
    ::close(from_);
  }
  const std::string& path() const { return path_; }
  void setPath(std::string path) { path_ = std::move(path); }

 private:
  std::string readLine() {
    std::string line;
    char c = 0;
    while (::read(from_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string path_;
};

struct LogRecord {
  bool read = false;
  Tracks tracks;
};

// The operation log's records; `stray` counts lines that belong to none.
std::vector<LogRecord> readOperationLog(const QString& path, int& stray) {
  std::vector<LogRecord> records;
  stray = 0;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return records;
  QList<QByteArray> lines = file.readAll().split('\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
  for (QByteArray line : lines) {
    if (!line.endsWith('\r')) {
      ++stray;
      continue;
    }
    line.chop(1);
    if (line == "Read operation" || line == "Write operation") {
      records.push_back({line.startsWith("Read"), {}});
      continue;
    }
    const int track = line.startsWith("Track ") && line.size() > 13 &&
                              line.mid(7, 6) == " data:"
                          ? line[6] - '0'
                          : 0;
    if (records.empty() || track < 1 || track > 3) {
      ++stray;
      continue;
    }
    std::string text = line.mid(13).toStdString();
    Tracks& t = records.back().tracks;
    (track == 1 ? t.track1 : track == 2 ? t.track2 : t.track3) = text;
  }
  return records;
}

class Shift {
 public:
  Shift(CEncodeDlg& dlg, EncoderProcess& encoder, Shared* shared,
        CountingPrompt& prompt, int cards, QString workDir)
      : dlg_(dlg),
        encoder_(encoder),
        shared_(shared),
        prompt_(prompt),
        cards_(cards),
        workDir_(std::move(workDir)) {}

  bool run(int round) {
    const RoundParts parts(round);
    for (int r = 0; r * round < cards_; ++r) {
      const int unplugIn = unplugEvery_ > 0 && r % unplugEvery_ == 0
                               ? (r / unplugEvery_) % 3
                               : -1;
      if (!readSegment(parts.reads, unplugIn == 0) ||
          !numberedSegment(r, parts.numbered, unplugIn == 1) ||
          !fileSegment(r, parts.fromFile, unplugIn == 2)) {
        return false;
      }
      sample();
    }
    return true;
  }

  std::vector<soak::Sample> samples;
  bool trimBeforeSample = false;
  int unplugs = 0;
  std::string failure;

 private:
  int done() const { return shared_->readsOk + writesConfirmed_; }

  // Looks at the program between two rounds, when no data file is open
  // and no card is on its way, so that every sample sees the same state.
  void sample() {
    soak::Sample s;
    s.card = done();
    s.pid = ::getpid();
    // Optionally hand the heap's free pages back first, to tell memory
    // the allocator keeps from memory the program holds.
    if (trimBeforeSample) ::malloc_trim(0);
    s.rssKiB = soak::residentKiB(s.pid);
    s.anonKiB = soak::statusKiB(s.pid, "RssAnon");
    s.descriptors = soak::openDescriptors(s.pid);
    s.timers = static_cast<int>(dlg_.findChildren<QTimer*>().size());
    s.objects = static_cast<int>(dlg_.findChildren<QObject*>().size());
    const struct mallinfo2 heap = ::mallinfo2();
    s.heapKiB = static_cast<long>((heap.uordblks + heap.hblkhd) / 1024);
    s.heapHeldKiB = static_cast<long>((heap.arena + heap.hblkhd) / 1024);
    samples.push_back(s);
  }

  // Runs the event loop until `ready` (true) or 10 s pass (false).
  bool pumpUntil(const std::function<bool()>& ready, const char* what) {
    QElapsedTimer waited;
    waited.start();
    while (!ready()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
      if (waited.elapsed() > 10000) {
        failure = std::string("stalled waiting for ") + what + stateText();
        return false;
      }
    }
    return true;
  }

  // What the dialog and the encoder were doing, for a stall's report.
  std::string stateText() {
    char text[256];
    std::snprintf(text, sizeof text,
                  " (reading %d, port open %d, timer %d, reply status %d, "
                  "encoder waiting for a card %s, reads %d ok %d failed, "
                  "unplugs %d)",
                  dlg_.m_bReading, dlg_.m_comm->GetPortOpen() ? 1 : 0,
                  dlg_.IsTimerRunning() ? 1 : 0, dlg_.m_nReplyStatus,
                  encoder_.ask("w").c_str(), shared_->readsOk.load(),
                  shared_->readsFailed.load(), unplugs);
    return text;
  }

  // The encoder holds its cards; on return an operation waits for one and
  // no reply is on its way.
  bool holdCards() {
    encoder_.ask("h");
    return pumpUntil([this] { return encoder_.ask("w") == "1"; },
                     "an operation to wait for a card");
  }

  // Pulled out while an operation waits for a card; the operator opens the
  // port again on the new line once the program has said it was lost.
  bool unplugAndReopen() {
    if (!holdCards()) return false;
    const int before = prompt_.messages;
    encoder_.setPath(encoder_.ask("u"));
    ++unplugs;
    if (!pumpUntil([&] { return prompt_.messages > before; },
                   "the message that the port was lost")) {
      return false;
    }
    dlg_.m_strPortName = QString::fromStdString(encoder_.path());
    dlg_.OnCommand(kOpenPort);
    encoder_.ask("i");
    if (!dlg_.m_comm->GetPortOpen()) {
      failure = "the port did not open again on " + encoder_.path();
      return false;
    }
    return true;
  }

  // The encoder fails its next `count` reads or writes.
  void failSome(int count) { encoder_.ask("f " + std::to_string(count)); }

  bool readSegment(int count, bool unplug) {
    dlg_.m_bTrack1 = dlg_.m_bTrack2 = dlg_.m_bTrack3 = TRUE;
    dlg_.m_bAutoInc2 = dlg_.m_bFromFile2 = dlg_.m_bFromFile3 = FALSE;
    dlg_.UpdateData(false);
    const int start = shared_->readsOk;
    const auto readTo = [&](int n) {
      return pumpUntil([&] { return shared_->readsOk - start >= n; }, "reads");
    };
    dlg_.OnReadCard();
    failSome(2);
    if (!readTo(count / 2)) return false;
    if (unplug) {
      if (!unplugAndReopen()) return false;
      dlg_.OnReadCard();  // the operator starts reading again
    }
    failSome(1);
    if (!readTo(count)) return false;
    // Reset while no card passes, as an operator ends reading.
    if (!holdCards()) return false;
    dlg_.OnReset();
    encoder_.ask("i");
    return true;
  }

  // The operator presses Write for every card; the program counts track
  // 2 up after each confirmed one and writes the same texts again after
  // a failed one by itself.
  bool numberedSegment(int round, int count, bool unplug) {
    const Tracks first = numberedCard(round, 0);
    dlg_.m_bTrack1 = dlg_.m_bTrack2 = dlg_.m_bTrack3 = TRUE;
    dlg_.m_bAutoInc2 = TRUE;
    dlg_.m_nStep2 = 1;
    dlg_.m_bFromFile2 = dlg_.m_bFromFile3 = FALSE;
    dlg_.m_strTrack1 = QByteArray::fromStdString(first.track1);
    dlg_.m_strTrack2 = QByteArray::fromStdString(first.track2);
    dlg_.m_strTrack3 = QByteArray::fromStdString(first.track3);
    dlg_.UpdateData(false);
    for (int i = 0; i < count; ++i) {
      if (i == count / 4) failSome(2);
      if (unplug && i == count / 2) {
        encoder_.ask("h");
        dlg_.OnWriteCard();
        if (!unplugAndReopen()) return false;
      }
      dlg_.OnWriteCard();
      if (!pumpUntil([this] { return dlg_.m_nReplyStatus == 1; },
                     "a confirmed numbered card")) {
        return false;
      }
      ++writesConfirmed_;
    }
    dlg_.m_bAutoInc2 = FALSE;
    dlg_.UpdateData(false);
    return true;
  }

  // Data files on tracks 2 and 3: the first write starts the batch, every
  // confirmed card writes the next line, the files close at their end.
  bool fileSegment(int round, int count, bool unplug) {
    QByteArray lines2, lines3;
    for (int i = 0; i < count; ++i) {
      const Tracks card = fileCard(round, i);
      lines2 += QByteArray::fromStdString(card.track2) + "\n";
      lines3 += QByteArray::fromStdString(card.track3) + "\r\n";
    }
    const auto fileOf = [&](const char* name, const QByteArray& data) {
      QFile out(workDir_ + "/" + name);
      if (!out.open(QIODevice::WriteOnly)) return QString();
      out.write(data);
      return out.fileName();
    };
    dlg_.m_bTrack1 = FALSE;
    dlg_.m_bTrack2 = dlg_.m_bTrack3 = TRUE;
    dlg_.m_bAutoInc2 = FALSE;
    dlg_.UpdateData(false);
    prompt_.nextOpen = fileOf("track2.txt", lines2);
    dlg_.OnOpenDataFile(2);
    prompt_.nextOpen = fileOf("track3.txt", lines3);
    dlg_.OnOpenDataFile(3);
    dlg_.m_bFromFile2 = TRUE;
    dlg_.UpdateData(false);
    const int confirmedBefore = writesConfirmed_;
    const auto written = [&] { return writesConfirmed_ - confirmedBefore; };
    // Every confirmed card loads the next line, so the track 3 field tells
    // how many cards are done.
    const long firstLine = std::stol(fileCard(round, 0).track3);
    const auto countFromField = [&] {
      const long at = dlg_.m_strTrack3.toLong() - firstLine;
      writesConfirmed_ =
          confirmedBefore +
          static_cast<int>(dlg_.m_strFile2.isEmpty() ? count : at);
      return dlg_.m_strFile2.isEmpty();
    };
    dlg_.OnWriteCard();
    failSome(2);
    if (!pumpUntil([&] { return countFromField() || written() >= count / 2; },
                   "half the data-file batch")) {
      return false;
    }
    if (unplug) {
      if (!unplugAndReopen()) return false;
      dlg_.OnWriteCard();  // the operator writes the card that was waiting
    }
    failSome(1);
    return pumpUntil(countFromField, "the data-file batch to end");
  }

  CEncodeDlg& dlg_;
  EncoderProcess& encoder_;
  Shared* shared_;
  CountingPrompt& prompt_;
  int cards_;

 public:
  int unplugEvery_ = 1;  // rounds; 0: never

 private:
  int writesConfirmed_ = 0;
  QString workDir_;
};

}  // namespace

int main(int argc, char** argv) {
  int cards = 20000;
  int round = 1000;
  const char* logDir = nullptr;
  bool verbose = false;
  bool trimBeforeSample = false;
  int unplugEvery = 1;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--cards") == 0 && hasValue)
      cards = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--round") == 0 && hasValue)
      round = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--log-dir") == 0 && hasValue)
      logDir = argv[++i];
    else if (std::strcmp(argv[i], "--unplug-every") == 0 && hasValue)
      unplugEvery = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--verbose") == 0)
      verbose = true;
    else if (std::strcmp(argv[i], "--trim-before-sample") == 0)
      trimBeforeSample = true;
  }
  round = std::clamp(round, 10, std::max(10, cards));

  // The encoder's process starts before any thread of this one.
  const int capacity = cards * 2 + 1000;
  const std::size_t sharedSize = sizeof(Shared) + capacity;
  void* memory = ::mmap(nullptr, sharedSize, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 1;
  auto* shared = new (memory) Shared{};
  shared->capacity = capacity;
  char recordTemplate[] = "/tmp/velmora-soak-record-XXXXXX";
  const int recordFd = ::mkstemp(recordTemplate);
  if (recordFd < 0) return 1;
  ::close(recordFd);
  const std::string record = recordTemplate;
  EncoderProcess encoder;
  if (!encoder.start(shared, capacity, record)) {
    std::fprintf(stderr, "the simulated encoder did not start\n");
    return 1;
  }

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QTemporaryDir work;
  QTemporaryDir logWork(
      (logDir != nullptr ? QString::fromLocal8Bit(logDir) : QDir::tempPath()) +
      QStringLiteral("/velmora-soak-XXXXXX"));
  const QString logPath = logWork.filePath(QStringLiteral("log.txt"));
  qputenv("VELMORA_LOG", logPath.toLocal8Bit());
  QApplication app(argc, argv);
  CountingPrompt prompt;
  prompt.echo = verbose;
  installPrompt(&prompt);

  QElapsedTimer wall;
  wall.start();
  bool completed = false;
  std::vector<soak::Sample> samples;
  int unplugs = 0;
  std::string failure;
  {
    CEncodeDlg dlg;
    dlg.Create();
    dlg.m_strPortName = QString::fromStdString(encoder.path());
    dlg.OnCommand(kOpenPort);
    Shift shift(dlg, encoder, shared, prompt, cards, work.path());
    shift.trimBeforeSample = trimBeforeSample;
    shift.unplugEvery_ = unplugEvery;
    completed = shift.run(round);
    dlg.OnReset();
    QCoreApplication::processEvents();
    samples = shift.samples;
    unplugs = shift.unplugs;
    failure = shift.failure;
  }
  const double seconds = wall.elapsed() / 1000.0;
  installPrompt(nullptr);
  encoder.quit();

  // The judge: the log against what the encoder did and what the shift
  // meant to write (worked out only now, so that it is not in the figures).
  std::vector<Tracks> meantWrites;
  const RoundParts parts(round);
  for (int r = 0; r * round < cards; ++r) {
    for (int i = 0; i < parts.numbered; ++i)
      meantWrites.push_back(numberedCard(r, i));
    for (int i = 0; i < parts.fromFile; ++i)
      meantWrites.push_back(fileCard(r, i));
  }
  int stray = 0;
  const auto log = readOperationLog(logPath, stray);
  std::vector<Tracks> loggedReads, loggedWrites;
  for (const auto& r : log)
    (r.read ? loggedReads : loggedWrites).push_back(r.tracks);
  std::vector<Tracks> swipedOk;
  int readsFailed = 0;
  for (int i = 0; i < capacity && shared->readStatus[i] != 0; ++i) {
    if (shared->readStatus[i] == 'p')
      swipedOk.push_back(deckCard(i));
    else
      ++readsFailed;
  }
  int unreadable = 0;
  std::vector<Tracks> recordedOk;
  int writesFailed = 0;
  for (const auto& w : soak::readWriteRecord(record, unreadable)) {
    if (w.succeeded)
      recordedOk.push_back(w.tracks);
    else
      ++writesFailed;
  }
  ::unlink(record.c_str());
  std::vector<std::string> problems;
  if (!completed) problems.push_back(failure);
  for (const std::string& p :
       {soak::firstDifference(swipedOk, loggedReads, "reads in the log"),
        soak::firstDifference(recordedOk, loggedWrites,
                              "writes in the log against the record"),
        soak::firstDifference(meantWrites, loggedWrites,
                              "writes in the log against the shift")}) {
    if (!p.empty()) problems.push_back(p);
  }
  const int repeated =
      soak::repeatedCards(loggedReads) + soak::repeatedCards(loggedWrites);
  if (repeated != 0)
    problems.push_back(std::to_string(repeated) + " cards logged twice");
  if (stray != 0)
    problems.push_back(std::to_string(stray) + " stray lines in the log");
  if (unreadable != 0)
    problems.push_back(std::to_string(unreadable) + " unreadable records");
  if (prompt.messages != unplugs)
    problems.push_back(std::to_string(prompt.messages) + " messages for " +
                       std::to_string(unplugs) + " unplugs");

  const soak::Summary s = soak::summarize(samples);
  const int confirmed =
      static_cast<int>(loggedReads.size() + loggedWrites.size());
  std::printf(
      "| cards confirmed (reads + writes) | %d (%zu + %zu) |\n"
      "| failed reads / failed writes | %d / %d |\n"
      "| unplugs / messages | %d / %d |\n"
      "| wall time | %.1f s |\n"
      "| RSS at card %ld / at card %ld / max | %ld / %ld / %ld KiB |\n"
      "| heap in use first / last, held first / last | %ld / %ld, %ld / %ld "
      "KiB |\n"
      "| descriptors first / last / max | %d / %d / %d |\n"
      "| timers first / last | %d / %d |\n"
      "| dialog's objects first / last | %d / %d |\n"
      "| every confirmed card in the log exactly once | %s |\n",
      confirmed, loggedReads.size(), loggedWrites.size(), readsFailed,
      writesFailed, unplugs, prompt.messages, seconds, s.first.card,
      s.last.card, s.first.rssKiB, s.last.rssKiB, s.maxRssKiB, s.first.heapKiB,
      s.last.heapKiB, s.first.heapHeldKiB, s.last.heapHeldKiB,
      s.first.descriptors, s.last.descriptors, s.maxDescriptors, s.first.timers,
      s.last.timers, s.first.objects, s.last.objects,
      problems.empty() ? "yes" : "NO");
  for (const auto& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
  if (verbose) {
    for (const auto& x : samples) {
      std::fprintf(stderr,
                   "card %ld: %ld KiB (%ld KiB not of a file), heap in use / "
                   "held %ld / %ld KiB, %d descriptors, %d timers\n",
                   x.card, x.rssKiB, x.anonKiB, x.heapKiB, x.heapHeldKiB,
                   x.descriptors, x.timers);
    }
  }
  return problems.empty() ? 0 : 1;
}
