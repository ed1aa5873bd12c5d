// The serial control and the line it shares with other programs: a port
// the encoder library holds is left as it is, and a close lets the last
// frame leave before it puts the line back and lets the port go.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QtTest>
#include <functional>

#include "app_test_support.h"
#include "mscomm.h"
#include "quillon/core/serial_port.h"
#include "quillon/keyboard/keyboard_probe.h"
#include "recording_terminal_calls.h"

namespace {

// The output speed the control gave the slave side of `pty`.
speed_t speedOf(const PtyPair& pty) {
  termios t{};
  ::tcgetattr(pty.master(), &t);
  return cfgetospeed(&t);
}

}  // namespace

class TestMSCommLine : public QObject {
  Q_OBJECT

 private slots:
  void aPortTheLibraryHoldsIsLeftAsItIs();
  void closeDrainsThenRestoresThenLetsGo_data();
  void closeDrainsThenRestoresThenLetsGo();
};

// The encoder library holds the port (its lock, exclusive mode and line
// settings): the refused open must change none of them, also for root,
// whom the exclusive mode does not keep out.
void TestMSCommLine::aPortTheLibraryHoldsIsLeftAsItIs() {
  PtyPair pty;
  QVERIFY2(pty.isOpen(), pty.errorText().c_str());
  // Opened before the library makes the port exclusive: it reads the flag.
  const int observer = pty.openSlave();
  QVERIFY(observer >= 0);
  const auto keyboard = quillon::makeNullKeyboardProbe();
  quillon::SerialPort library(*keyboard);
  QVERIFY(library.Open(pty.slavePath(), 19200));

  CMSComm comm;
  comm.SetDevicePath(slavePathOf(pty));  // and the initial 9600,n,8,1
  const QString text = errorOf([&] { comm.SetPortOpen(true); });
  QVERIFY2(text.contains("is in use by another program"), qPrintable(text));
  QVERIFY(!comm.GetPortOpen());
  int exclusive = 0;
  QCOMPARE(::ioctl(observer, TIOCGEXCL, &exclusive), 0);
  QCOMPARE(exclusive, 1);
  QCOMPARE(speedOf(pty), speed_t(B19200));
  library.Close();
  ::close(observer);
}

void TestMSCommLine::closeDrainsThenRestoresThenLetsGo_data() {
  QTest::addColumn<bool>("drainHangs");
  QTest::addColumn<QStringList>("calls");
  QTest::newRow("drains") << false
                          << QStringList{"drain", "restore after drain"};
  QTest::newRow("never drains")
      << true << QStringList{"drain", "discard output", "restore now"};
}

void TestMSCommLine::closeDrainsThenRestoresThenLetsGo() {
  QFETCH(bool, drainHangs);
  QFETCH(QStringList, calls);
  PtyPair pty;
  QVERIFY2(pty.isOpen(), pty.errorText().c_str());
  const speed_t before = speedOf(pty);
  quillon_test::RecordingTerminalCalls recorder;
  CMSComm comm(recorder);
  comm.SetDevicePath(slavePathOf(pty));
  comm.SetSettings("1200,n,8,1");
  comm.SetPortOpen(true);
  QCOMPARE(speedOf(pty), speed_t(B1200));
  const QByteArray erase(
      "\x1b"
      "c\x07");
  comm.SetOutput(erase);
  recorder.hangDrains(drainHangs);
  recorder.clear();
  QElapsedTimer took;
  took.start();
  comm.SetPortOpen(false);
  recorder.hangDrains(false);
  QStringList log;
  for (const std::string& call : recorder.log())
    log << QString::fromStdString(call);
  QCOMPARE(log, calls);
  if (drainHangs) QVERIFY(took.elapsed() >= 500 && took.elapsed() < 2000);
  QCOMPARE(speedOf(pty), before);  // the line as it was found
  if (!drainHangs) {
    char got[8] = {};
    QCOMPARE(::read(pty.master(), got, sizeof got), qsizetype(erase.size()));
    QCOMPARE(QByteArray(got, erase.size()), erase);
  }
  // The port is let go: another program may lock it.
  const int other = pty.openSlave();
  QVERIFY(other >= 0);
  QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
}

QTEST_MAIN(TestMSCommLine)
#include "mscomm_line_test.moc"
