// Velmora reading card after card against the simulated encoder with
// instant swipes: how long the reply handler takes from the status byte
// on the line to the next read frame on the line, and whether memory,
// descriptors and timers stay flat over a long run.
//   continuous_read_bench [CARDS] [LOG-FOLDER] [SWIPE-MS]
// CARDS defaults to 10000; the log goes to LOG-FOLDER (default: a new
// folder under the current directory, so it is on the working disk);
// SWIPE-MS is the time from a read command to its swipe (default 0).
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "com_port_path.h"
#include "counting_prompt.h"
#include "encode_dlg.h"
#include "mscomm.h"
#include "simulated_encoder.h"
#include "soak_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int cards = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 10000;
  const bool folderGiven = argc > 2 && argv[2][0] != '\0';
  QTemporaryDir logDir(folderGiven
                           ? QString::fromLocal8Bit(argv[2]) +
                                 QStringLiteral("/velmora-bench-XXXXXX")
                           : QDir::currentPath() +
                                 QStringLiteral("/velmora-bench-XXXXXX"));
  qputenv("VELMORA_LOG", logDir.filePath("log.txt").toLocal8Bit());
  CountingPrompt prompt;
  installPrompt(&prompt);

  sim::SimulatedEncoder::Options options;
  options.swipeDelay =
      std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 0);
  sim::SimulatedEncoder encoder(options);
  if (!encoder.start()) return 1;
  // One card per read, so every read succeeds and is logged.
  encoder.loadDeck(std::vector<sim::Card>(
      static_cast<std::size_t>(cards) + 100,
      sim::Card{"BENCH CARD", "1234567890123456=2512", "0123"}));
  qputenv(portmap::overrideVariable(1).c_str(),
          QByteArray::fromStdString(encoder.slavePath()));

  // Reply bursts and read frames as they cross the line.
  std::mutex mutex;
  Clock::time_point lastReplyEnd{};
  std::vector<double> handlerMs;
  handlerMs.reserve(static_cast<std::size_t>(cards));
  encoder.setTrafficObserver([&](auto direction, const sim::Bytes& bytes) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    if (direction == sim::SimulatedEncoder::Direction::Sent) {
      if (!bytes.empty() && bytes.back() == 'p') lastReplyEnd = now;
    } else if (bytes.size() == 5 && bytes[1] == 'B' &&
               lastReplyEnd != Clock::time_point{}) {
      handlerMs.push_back(
          std::chrono::duration<double, std::milli>(now - lastReplyEnd)
              .count());
      lastReplyEnd = {};
    }
  });

  CEncodeDlg dlg;
  dlg.Create();
  dlg.OnCommand(32771);  // open COM1
  dlg.m_bTrack1 = dlg.m_bTrack2 = dlg.m_bTrack3 = TRUE;
  dlg.UpdateData(false);
  dlg.OnReadCard();

  const auto readsDone = [&] {
    std::lock_guard lock(mutex);
    return static_cast<int>(handlerMs.size());
  };
  long rssAfterWarmUp = 0;
  int fdsAfterWarmUp = 0;
  int timersAfterWarmUp = 0;
  const auto started = Clock::now();
  while (readsDone() < cards) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // The simulator, in this process, keeps every byte it receives; that
    // record is not the program's memory.
    if (readsDone() % 256 == 0) encoder.clearReceived();
    if (rssAfterWarmUp == 0 && readsDone() >= 1000) {
      rssAfterWarmUp = soak::residentKiB(getpid());
      fdsAfterWarmUp = soak::openDescriptors(getpid());
      timersAfterWarmUp = static_cast<int>(dlg.findChildren<QTimer*>().size());
    }
  }
  const double seconds =
      std::chrono::duration<double>(Clock::now() - started).count();
  dlg.OnReset();
  std::vector<double> samples;
  {
    std::lock_guard lock(mutex);
    samples = handlerMs;
  }
  std::printf(
      "| cards | swipe | reads/s | status byte -> next read frame: median | "
      "p99 "
      "| max | RSS after 1,000 | RSS at the end | growth | descriptors "
      "| timers | messages |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  std::printf(
      "| %d | %d ms | %.0f | %.3f ms | %.3f ms | %.3f ms | %ld KiB | %ld KiB | "
      "%ld KiB | %d -> %d | %d -> %d | %d |\n",
      cards, argc > 3 ? std::atoi(argv[3]) : 0, cards / seconds,
      percentile(samples, 0.5), percentile(samples, 0.99),
      percentile(samples, 1.0), rssAfterWarmUp, soak::residentKiB(getpid()),
      soak::residentKiB(getpid()) - rssAfterWarmUp, fdsAfterWarmUp,
      soak::openDescriptors(getpid()), timersAfterWarmUp,
      static_cast<int>(dlg.findChildren<QTimer*>().size()), prompt.messages);
  installPrompt(nullptr);
  return 0;
}
