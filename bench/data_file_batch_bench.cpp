// A long data-file batch in Velmora against the simulated encoder on a
// pseudo-terminal: 2,000 cards from two data files (tracks 2 and 3),
// cards swiped at once, replies paced at a fast line rate. Prints cards
// per second, the time each card takes beyond its reply's line time and
// the write command's 20 ms pause, the growth of the resident set after
// warm-up, and the open descriptors before and after.
//   data_file_batch_bench [--cards N] [--baud N]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "com_port_path.h"
#include "encode_dlg.h"
#include "prompt.h"
#include "simulated_encoder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOpenPort = 32771;
constexpr int kWriteCard = 32775;
constexpr double kPauseMs = 20.0;
constexpr int kWarmUpCards = 100;

// Message boxes are counted, never shown; the Open dialog names the file.
class BenchPrompt : public Prompt {
 public:
  QString nextOpen;
  int messages = 0;
  int messageBox(QWidget*, const QString& text, const QString&) override {
    std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    ++messages;
    return kIdOk;
  }
  QString getOpenFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return std::exchange(nextOpen, QString());
  }
  QString getSaveFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return {};
  }
};

long residentKiB() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("VmRSS:")) {
      return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
  }
  return -1;
}

int openDescriptors() {
  return static_cast<int>(
      QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size());
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(share * (values.size() - 1));
  return values[index];
}

// What the encoder saw: when each write frame arrived and when each reply
// had left for the line.
struct Traffic {
  std::mutex mutex;
  std::vector<Clock::time_point> writeFrames;
  std::vector<Clock::time_point> repliesSent;
  std::size_t replyBytes = 0;
};

bool isWriteFrame(const sim::Bytes& frame) {
  return frame.size() >= 2 && frame[0] == 0x1B && frame[1] == 't';
}

}  // namespace

int main(int argc, char** argv) {
  int cards = 2000;
  int baud = 115200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cards") == 0) cards = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--baud") == 0) baud = std::atoi(argv[i + 1]);
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QTemporaryDir work;
  qputenv("VELMORA_LOG",
          work.filePath(QStringLiteral("log.txt")).toLocal8Bit());
  QApplication app(argc, argv);

  sim::SimulatedEncoder::Options options;
  options.baudRate = baud;
  options.swipeDelay = std::chrono::milliseconds(0);
  sim::SimulatedEncoder encoder(options);
  if (!encoder.start()) {
    std::fprintf(stderr, "no pseudo-terminal: %s\n",
                 encoder.errorText().c_str());
    return 1;
  }
  qputenv(portmap::overrideVariable(1).c_str(),
          QByteArray::fromStdString(encoder.slavePath()));
  Traffic traffic;
  encoder.setTrafficObserver(
      [&traffic](sim::SimulatedEncoder::Direction direction,
                 const sim::Bytes& bytes) {
        const auto now = Clock::now();
        std::lock_guard lock(traffic.mutex);
        if (direction == sim::SimulatedEncoder::Direction::Received) {
          if (isWriteFrame(bytes)) traffic.writeFrames.push_back(now);
        } else {
          traffic.repliesSent.push_back(now);
          traffic.replyBytes = bytes.size();
        }
      });

  QByteArray track2;
  QByteArray track3;
  for (int i = 0; i < cards; ++i) {
    track2 += QByteArray::number(5000000 + i) + "=4912\r\n";
    track3 += QByteArray::number(9000000 + i) + "\n";
  }
  const auto writeFile = [&work](const char* name, const QByteArray& data) {
    QFile out(work.filePath(QString::fromLatin1(name)));
    out.open(QIODevice::WriteOnly);
    out.write(data);
    return out.fileName();
  };
  const QString file2 = writeFile("track2.txt", track2);
  const QString file3 = writeFile("track3.txt", track3);

  BenchPrompt prompt;
  installPrompt(&prompt);
  const int descriptorsBefore = openDescriptors();
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
    std::size_t lastCount = 0;
    idle.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
      const std::size_t count = encoder.writtenCards().size();
      if (rssWarm < 0 && count >= kWarmUpCards) rssWarm = residentKiB();
      if (count != lastCount) {
        lastCount = count;
        idle.restart();
      }
      // The batch is over once the files are detached and nothing moved
      // for a while (or it stalled).
      if ((dlg.m_strFile2.isEmpty() && idle.elapsed() > 200) ||
          idle.elapsed() > 5000) {
        loop.quit();
      }
    });
    poll.start(5);
    loop.exec();
  }
  const long rssEnd = residentKiB();
  const int descriptorsAfter = openDescriptors();
  installPrompt(nullptr);
  encoder.setTrafficObserver(nullptr);

  const auto written = encoder.writtenCards();
  std::vector<double> overhead;
  std::vector<double> cycle;
  double lineMs = 0;
  double seconds = 0;
  {
    std::lock_guard lock(traffic.mutex);
    // From the first write frame to the last reply on the line.
    if (!traffic.writeFrames.empty() && !traffic.repliesSent.empty()) {
      seconds = std::chrono::duration<double>(traffic.repliesSent.back() -
                                              traffic.writeFrames.front())
                    .count();
    }
    lineMs = static_cast<double>(traffic.replyBytes) * 10.0 * 1000.0 / baud;
    // Card k's reply is followed by card k+1's write frame.
    for (std::size_t k = 0;
         k + 1 < traffic.writeFrames.size() && k < traffic.repliesSent.size();
         ++k) {
      const auto turn = std::chrono::duration<double, std::milli>(
          traffic.writeFrames[k + 1] - traffic.repliesSent[k]);
      overhead.push_back(turn.count() - kPauseMs);
      cycle.push_back(std::chrono::duration<double, std::milli>(
                          traffic.writeFrames[k + 1] - traffic.writeFrames[k])
                          .count());
    }
  }
  std::printf("| cards written | %zu of %d |\n", written.size(), cards);
  std::printf("| messages shown | %d |\n", prompt.messages);
  std::printf("| cards per second | %.1f |\n", written.size() / seconds);
  std::printf(
      "| card cycle (frame to frame) median / p99 | %.2f ms / %.2f ms |\n",
      percentile(cycle, 0.5), percentile(cycle, 0.99));
  std::printf("| reply line time at %d baud | %.2f ms |\n", baud, lineMs);
  std::printf(
      "| overhead beyond reply and 20 ms pause, median / p99 / max | %.2f ms "
      "/ %.2f ms / %.2f ms |\n",
      percentile(overhead, 0.5), percentile(overhead, 0.99),
      percentile(overhead, 1.0));
  std::printf(
      "| RSS after %d cards / at the end / growth | %ld KiB / %ld KiB / %ld "
      "KiB |\n",
      kWarmUpCards, rssWarm, rssEnd, rssEnd - rssWarm);
  std::printf("| open descriptors before / after | %d / %d |\n",
              descriptorsBefore, descriptorsAfter);
  return written.size() == static_cast<std::size_t>(cards) ? 0 : 1;
}
