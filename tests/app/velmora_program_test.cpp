// The program as a whole: its version record, and the simulated-encoder
// mode that lets it run with no device.
#include <sys/file.h>

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "app_test_support.h"
#include "encode_dlg.h"
#include "mscomm.h"
#include "simulated_device.h"

class VelmoraProgramTest : public QObject {
  Q_OBJECT

 private:
  static QProcessEnvironment environment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
  }

  // Runs the program with no display at all and returns its output.
  static QString runWithoutDisplay(const QString& option) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    program.setProcessEnvironment(env);
    program.start(VELMORA_PROGRAM, {option});
    if (!program.waitForFinished(10000) ||
        program.exitStatus() != QProcess::NormalExit ||
        program.exitCode() != 0) {
      return QString("failed: ") +
             QString::fromUtf8(program.readAllStandardError());
    }
    return QString::fromUtf8(program.readAllStandardOutput());
  }

 private slots:
  void versionIsPrintedWithoutADisplay() {
    const QStringList lines = runWithoutDisplay("--version").split('\n');
    QCOMPARE(lines.value(0), QString("velmora 1.0.0.1"));
    QVERIFY(lines.contains("FileVersion: 1.0.0.1"));
    QVERIFY(lines.contains("ProductVersion: 1.0.0.1"));
    QVERIFY(lines.contains("InternalName: Velmora"));
    QVERIFY(lines.contains("OriginalFilename: Velmora.EXE"));
  }

  void helpIsPrintedWithoutADisplay() {
    const QString text = runWithoutDisplay("--help");
    QVERIFY2(text.startsWith("Usage: velmora"), qPrintable(text));
    QVERIFY(text.contains("--simulate"));
  }

  // No display, or one nobody serves: one line that says what to do, and
  // an ordinary exit instead of Qt's abort.
  void withoutADisplayItSaysSoInOneLine_data() {
    QTest::addColumn<QString>("display");
    QTest::newRow("none named") << QString();
    QTest::newRow("nobody serves it") << QString(":4093");
  }

  void withoutADisplayItSaysSoInOneLine() {
    QFETCH(QString, display);
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("WAYLAND_DISPLAY");
    env.remove("DISPLAY");
    if (!display.isEmpty()) env.insert("DISPLAY", display);
    env.insert("VELMORA_LOG", dir.filePath("log.txt"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(VELMORA_PROGRAM, {"--simulate"});
    QVERIFY(program.waitForFinished(10000));
    const QByteArray error = program.readAllStandardError();
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QCOMPARE(error.count('\n'), 1);
    QVERIFY2(error.startsWith("velmora: ") && error.contains("xvfb-run"),
             error.constData());
  }

  void anUnknownOptionIsAnError() {
    QProcess program;
    program.setProcessEnvironment(environment());
    program.start(VELMORA_PROGRAM, {"--no-such-option"});
    QVERIFY(program.waitForFinished(10000));
    QVERIFY(program.exitCode() != 0);
  }

  void theSimulatedModeShowsTheMainWindow() {
    QTemporaryDir dir;
    const QString picture = dir.filePath("window.png");
    QProcessEnvironment env = environment();
    env.insert("VELMORA_LOG", dir.filePath("log.txt"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(VELMORA_PROGRAM, {"--simulate", "--screenshot", picture});
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitCode(), 0);
    const QImage image(picture);
    QVERIFY(!image.isNull());
    // The same window this process builds.
    PrivateLogPath log;
    CEncodeDlg dlg;
    dlg.Create();
    QCOMPARE(image.size(), dlg.size());
    QVERIFY(QFileInfo::exists(dir.filePath("log.txt")));
  }

  // A screenshot is for scripts: a note that would be a box goes to
  // stderr instead of waiting for a person, and a picture not saved is a
  // failure.
  void aScreenshotNeverWaitsAndFailsWhenNotSaved_data() {
    QTest::addColumn<bool>("logHeld");
    QTest::addColumn<QString>("picture");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrHas");
    QTest::newRow("log held by another Velmora")
        << true << "window.png" << 0 << "another Velmora is using it";
    QTest::newRow("picture cannot be saved")
        << false << "no-such-folder/window.png" << 1 << "cannot save";
  }
  void aScreenshotNeverWaitsAndFailsWhenNotSaved() {
    QFETCH(bool, logHeld);
    QFETCH(QString, picture);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrHas);
    QTemporaryDir dir;
    QFile log(dir.filePath("log.txt"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    if (logHeld) QCOMPARE(::flock(log.handle(), LOCK_EX | LOCK_NB), 0);
    QProcessEnvironment env = environment();
    env.insert("VELMORA_LOG", log.fileName());
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(VELMORA_PROGRAM,
                  {"--simulate", "--screenshot", dir.filePath(picture)});
    const bool ended = program.waitForFinished(20000);
    if (!ended) program.kill();
    QVERIFY2(ended, "waiting for a box");
    const QString error = QString::fromUtf8(program.readAllStandardError());
    QCOMPARE(program.exitCode(), exitCode);
    QVERIFY2(error.contains(stderrHas), qPrintable(error));
    QCOMPARE(QImage(dir.filePath(picture)).isNull(), exitCode != 0);
  }

  void theSimulatedEncoderAnswersOnCom1() {
    PrivateLogPath log;
    RecordingPrompt prompt;
    SimulatedDevice device;
    QString error;
    QVERIFY2(device.start(1, &error), qPrintable(error));
    QCOMPARE(qEnvironmentVariable("ENCODER_COM1"), device.slavePath());
    QCOMPARE(device.encoder().deckSize(), SimulatedDevice::demoDeck().size());
    {
      CEncodeDlg dlg;
      dlg.Create();
      dlg.OnCommand(32771);
      QVERIFY(dlg.m_comm->GetPortOpen());
      dlg.OnCommand(32792);
      QTRY_COMPARE(device.encoder().resetCount(), 1);
    }
    qunsetenv("ENCODER_COM1");
    QVERIFY(prompt.messages.isEmpty());
  }

  void theDemoCardsFitTheTracks() {
    for (const sim::Card& card : SimulatedDevice::demoDeck()) {
      QVERIFY(card.track1.size() <= 76);
      QVERIFY(card.track2.size() <= 104 && card.track3.size() <= 104);
      // These bytes separate or end tracks on the line.
      for (const std::string* text : {&card.track2, &card.track3}) {
        QVERIFY(text->find_first_of("AB?") == std::string::npos);
      }
      QVERIFY(card.track1.find('?') == std::string::npos);
    }
  }
};

QTEST_MAIN(VelmoraProgramTest)
#include "velmora_program_test.moc"
