// A long data-file batch in Velmora against the simulated encoder on a
// pseudo-terminal: 2,000 cards from two data files (tracks 2 and 3),
// cards swiped at once, replies paced at a fast line rate. Prints cards
// per second, the time each card takes beyond its reply's line time and
// the write command's 20 ms pause, the growth of the program's resident
// set after warm-up, and its open descriptors before and after.
//   data_file_batch_bench [--cards N] [--baud N] [--log-dir DIR]
// The operation log (synced to disk after every card) goes to a temporary
// folder, or to DIR (/dev/shm takes the disk out of the figures).
// The encoder runs in a child process, so its own records of the cards
// do not count in the program's memory.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "com_port_path.h"
#include "counting_prompt.h"
#include "encode_dlg.h"
#include "encoder_protocol.h"
#include "simulated_encoder.h"
#include "soak_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOpenPort = 32771;
constexpr int kWriteCard = 32775;
constexpr double kPauseMs = 20.0;
constexpr int kWarmUpCards = 100;

// Shared with the encoder's process: when each write frame arrived and
// when each reply had left for the line (steady clock, both processes).
struct Shared {
  std::atomic<int> state;  // 0 starting, 1 serving, -1 failed
  char slavePath[256];
  std::atomic<int> writeFrames;
  std::atomic<int> replies;
  std::atomic<int> confirmed;  // replies ending in 'p'
  std::atomic<int> replyBytes;
  int capacity;
  std::int64_t times[1];  // capacity write times, then capacity reply times
};

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Clock::now().time_since_epoch())
      .count();
}

// The child: serves the encoder until the parent closes `quit`.
[[noreturn]] void serveEncoder(Shared* shared, int baud, int quit) {
  sim::SimulatedEncoder::Options options;
  options.baudRate = baud;
  options.swipeDelay = std::chrono::milliseconds(0);
  sim::SimulatedEncoder encoder(options);
  encoder.setTrafficObserver(
      [shared](sim::SimulatedEncoder::Direction way, const sim::Bytes& bytes) {
        const std::int64_t now = nowNs();
        if (way == sim::SimulatedEncoder::Direction::Received) {
          if (bytes.size() < 2 || bytes[0] != protocol::kEsc || bytes[1] != 't')
            return;
          const int k = shared->writeFrames.fetch_add(1);
          if (k < shared->capacity) shared->times[k] = now;
        } else {
          const int k = shared->replies.fetch_add(1);
          if (k < shared->capacity) shared->times[shared->capacity + k] = now;
          shared->replyBytes = static_cast<int>(bytes.size());
          if (!bytes.empty() && bytes.back() == 'p') ++shared->confirmed;
        }
      });
  if (!encoder.start()) {
    shared->state = -1;
    _exit(1);
  }
  std::snprintf(shared->slavePath, sizeof shared->slavePath, "%s",
                encoder.slavePath().c_str());
  shared->state = 1;
  char byte = 0;
  while (::read(quit, &byte, 1) > 0) {
  }
  encoder.stop();
  _exit(0);
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(share * (values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  int cards = 2000;
  int baud = 115200;
  const char* logDir = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cards") == 0) cards = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--baud") == 0) baud = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--log-dir") == 0) logDir = argv[i + 1];
  }

  // The encoder's process starts before any thread of this one.
  const int capacity = cards + 16;
  const std::size_t sharedSize =
      sizeof(Shared) + 2 * sizeof(std::int64_t) * capacity;
  void* memory = ::mmap(nullptr, sharedSize, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 1;
  auto* shared = new (memory) Shared{};
  shared->capacity = capacity;
  int quit[2];
  if (::pipe(quit) != 0) return 1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(quit[1]);
    serveEncoder(shared, baud, quit[0]);
  }
  ::close(quit[0]);
  while (shared->state == 0) ::usleep(1000);
  if (shared->state < 0) {
    std::fprintf(stderr, "the simulated encoder did not start\n");
    return 1;
  }
  qputenv(portmap::overrideVariable(1).c_str(), shared->slavePath);

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QTemporaryDir work;
  QTemporaryDir logWork(logDir != nullptr
                            ? QString::fromLocal8Bit(logDir) +
                                  QStringLiteral("/velmora-bench-XXXXXX")
                            : QDir::tempPath() +
                                  QStringLiteral("/velmora-bench-XXXXXX"));
  qputenv("VELMORA_LOG",
          logWork.filePath(QStringLiteral("log.txt")).toLocal8Bit());
  QApplication app(argc, argv);

  QByteArray track2;
  QByteArray track3;
  for (int i = 0; i < cards; ++i) {
    track2 += QByteArray::number(5000000 + i) + "=4912\r\n";
    track3 += QByteArray::number(9000000 + i) + "\n";
  }
  const auto writeFile = [&work](const char* name, const QByteArray& data) {
    QFile out(work.filePath(QString::fromLatin1(name)));
    if (!out.open(QIODevice::WriteOnly)) return QString();
    out.write(data);
    return out.fileName();
  };
  const QString file2 = writeFile("track2.txt", track2);
  const QString file3 = writeFile("track3.txt", track3);

  CountingPrompt prompt;
  installPrompt(&prompt);
  const int descriptorsBefore = soak::openDescriptors(getpid());
  long rssWarm = -1;
  {
    CEncodeDlg dlg;
    dlg.Create();
    prompt.nextOpen = file2;
    dlg.OnOpenDataFile(2);
    prompt.nextOpen = file3;
    dlg.OnOpenDataFile(3);
    dlg.m_bTrack2 = dlg.m_bTrack3 = TRUE;
    dlg.m_bFromFile2 = TRUE;
    dlg.UpdateData(false);
    dlg.OnCommand(kOpenPort);
    dlg.OnCommand(kWriteCard);

    QEventLoop loop;
    QTimer poll;
    QElapsedTimer idle;
    int lastCount = 0;
    idle.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
      const int count = shared->confirmed;
      if (rssWarm < 0 && count >= kWarmUpCards)
        rssWarm = soak::residentKiB(getpid());
      if (count != lastCount) {
        lastCount = count;
        idle.restart();
      }
      // Over once the files are detached and nothing moved for a while
      // (or it stalled).
      if ((dlg.m_strFile2.isEmpty() && idle.elapsed() > 200) ||
          idle.elapsed() > 5000) {
        loop.quit();
      }
    });
    poll.start(5);
    loop.exec();
  }
  const long rssEnd = soak::residentKiB(getpid());
  const int descriptorsAfter = soak::openDescriptors(getpid());
  installPrompt(nullptr);
  ::close(quit[1]);
  ::waitpid(child, nullptr, 0);

  const int frames = std::min(shared->writeFrames.load(), capacity);
  const int replies = std::min(shared->replies.load(), capacity);
  const std::int64_t* writeAt = shared->times;
  const std::int64_t* replyAt = shared->times + capacity;
  const double lineMs = shared->replyBytes * 10.0 * 1000.0 / baud;
  std::vector<double> overhead;
  std::vector<double> cycle;
  // Card k's reply is followed by card k+1's write frame.
  for (int k = 0; k + 1 < frames && k < replies; ++k) {
    overhead.push_back((writeAt[k + 1] - replyAt[k]) / 1e6 - kPauseMs);
    cycle.push_back((writeAt[k + 1] - writeAt[k]) / 1e6);
  }
  const double seconds =
      frames > 0 && replies > 0 ? (replyAt[replies - 1] - writeAt[0]) / 1e9 : 0;
  const int confirmed = shared->confirmed;
  std::printf("| cards confirmed | %d of %d |\n", confirmed, cards);
  std::printf("| messages shown | %d |\n", prompt.messages);
  std::printf("| cards per second | %.1f |\n", confirmed / seconds);
  std::printf("| card cycle, frame to frame: median / p99 | %.2f / %.2f ms |\n",
              percentile(cycle, 0.5), percentile(cycle, 0.99));
  std::printf("| reply line time at %d baud | %.2f ms |\n", baud, lineMs);
  std::printf(
      "| overhead beyond the reply and the 20 ms pause: median / p99 / max | "
      "%.2f / %.2f / %.2f ms |\n",
      percentile(overhead, 0.5), percentile(overhead, 0.99),
      percentile(overhead, 1.0));
  const auto worst = std::max_element(overhead.begin(), overhead.end());
  std::printf("| slowest card | number %d |\n",
              worst == overhead.end()
                  ? 0
                  : static_cast<int>(worst - overhead.begin()) + 2);
  std::printf(
      "| RSS after %d cards / at the end / growth | %ld / %ld / %ld KiB |\n",
      kWarmUpCards, rssWarm, rssEnd, rssEnd - rssWarm);
  std::printf("| open descriptors before / after | %d / %d |\n",
              descriptorsBefore, descriptorsAfter);
  return confirmed == cards ? 0 : 1;
}
