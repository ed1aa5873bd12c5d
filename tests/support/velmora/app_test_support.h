// Helpers shared by Velmora's tests: a prompt that records instead of
// asking, a simulated encoder mapped to a COM port, answers for modal
// dialogs, a private log path, a pseudo-terminal's slave as a device path.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app_info.h"
#include "com_port_path.h"
#include "mscomm.h"
#include "prompt.h"
#include "pty_pair.h"
#include "simulated_encoder.h"

using quillon_test::PtyPair;

// The program names the application as it starts; the framework's messages
// take their caption from that name.
inline void nameTheApplicationAsTheProgramDoes() {
  QCoreApplication::setApplicationName(app_info::kAppName);
}
Q_COREAPP_STARTUP_FUNCTION(nameTheApplicationAsTheProgramDoes)

/// A file's bytes; empty when it cannot be read.
inline QByteArray fileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// Keeps the event loop running until `done`; false when `timeoutMs` ran out.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QTest::qWait(5);
  }
  return true;
}

/// What the serial control's error said, or empty when `call` succeeded.
inline QString errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const CommError& e) {
    return QString::fromStdString(e.what());
  }
  return {};
}

/// The device path the serial control is given for `pty`.
inline QString slavePathOf(const PtyPair& pty) {
  return QString::fromStdString(pty.slavePath());
}

/// Answers every message box with OK and remembers it; file dialogs get
/// the names queued for them (empty: cancelled).
class RecordingPrompt : public Prompt {
 public:
  struct Message {
    QString text;
    QString caption;
  };
  QList<Message> messages;
  QStringList openNames;
  QStringList saveNames;

  RecordingPrompt() { installPrompt(this); }
  ~RecordingPrompt() override { installPrompt(nullptr); }

  int messageBox(QWidget*, const QString& text,
                 const QString& caption) override {
    messages.append({text, caption});
    return kIdOk;
  }
  QString getOpenFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return openNames.isEmpty() ? QString() : openNames.takeFirst();
  }
  QString getSaveFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return saveNames.isEmpty() ? QString() : saveNames.takeFirst();
  }
};

/// A simulated encoder on its own pseudo-terminal, reachable as COM<n>
/// while it lives. Nobody swipes a card unless the test does.
class SimulatedPort {
 public:
  explicit SimulatedPort(int portNumber)
      : m_variable(portmap::overrideVariable(portNumber)) {
    sim::SimulatedEncoder::Options options;
    options.swipeDelay = std::nullopt;
    m_encoder = std::make_unique<sim::SimulatedEncoder>(options);
    m_started = m_encoder->start();
    if (m_started) {
      qputenv(m_variable.c_str(),
              QByteArray::fromStdString(m_encoder->slavePath()));
    }
  }
  ~SimulatedPort() { qunsetenv(m_variable.c_str()); }

  [[nodiscard]] bool started() const { return m_started; }
  [[nodiscard]] QString path() const {
    return QString::fromStdString(m_encoder->slavePath());
  }
  sim::SimulatedEncoder& encoder() { return *m_encoder; }

  /// Every frame received so far, each as a byte string.
  [[nodiscard]] QList<QByteArray> frames() const {
    QList<QByteArray> result;
    for (const sim::Bytes& frame : m_encoder->frames()) {
      result.append(QByteArray(reinterpret_cast<const char*>(frame.data()),
                               static_cast<qsizetype>(frame.size())));
    }
    return result;
  }
  /// Waits for `count` frames, keeping the event loop running.
  bool waitForFrames(std::size_t count, int timeoutMs = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (m_encoder->frames().size() < count) {
      if (clock.elapsed() > timeoutMs) return false;
      QTest::qWait(10);
    }
    return true;
  }
  /// Lets anything still on its way arrive, then returns every frame.
  QList<QByteArray> settledFrames(int quietMs = 300) {
    QTest::qWait(quietMs);
    return frames();
  }

 private:
  std::string m_variable;
  std::unique_ptr<sim::SimulatedEncoder> m_encoder;
  bool m_started = false;
};

inline const QByteArray kResetFrameBytes("\x1b\x30", 2);

/// Runs `answer` on the next modal dialog of type T once it is open. The
/// caller then starts whatever opens the dialog.
template <typename T>
void answerNextModal(std::function<void(T*)> answer, int timeoutMs = 5000) {
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [answer, clock, poll, timeoutMs] {
    if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
      answer(dialog);
      *poll = nullptr;  // break the cycle
      return;
    }
    if (clock->elapsed() > timeoutMs) {
      *poll = nullptr;
      return;
    }
    QTimer::singleShot(10, *poll);
  };
  QTimer::singleShot(0, *poll);
}

/// A log path in a temporary folder, set as $VELMORA_LOG for the test.
class PrivateLogPath {
 public:
  PrivateLogPath() {
    m_path = m_dir.filePath(QStringLiteral("operations.txt"));
    qputenv("VELMORA_LOG", m_path.toLocal8Bit());
  }
  ~PrivateLogPath() { qunsetenv("VELMORA_LOG"); }
  [[nodiscard]] QString path() const { return m_path; }
  [[nodiscard]] QString dir() const { return m_dir.path(); }

 private:
  QTemporaryDir m_dir;
  QString m_path;
};

/// The file size limit of the process (a small one stands in for a full
/// disk: writes past it fail with EFBIG), put back when the scope ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    m_handler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = m_saved;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    ::signal(SIGXFSZ, m_handler);
  }

 private:
  struct rlimit m_saved {};
  sighandler_t m_handler;
};
