// The serial control against the simulated encoder on a real
// pseudo-terminal: what goes out, what comes in, and every way an open or a
// setting is refused.
#include "mscomm.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "app_test_support.h"
#include "encoder_protocol.h"
#include "simulated_encoder.h"

namespace {

QByteArray toQt(const protocol::Bytes& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}
template <std::size_t N>
QByteArray toQt(const std::array<protocol::Byte, N>& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), N);
}
QByteArray toQt(const std::vector<sim::Bytes>& frames) {
  QByteArray all;
  for (const auto& frame : frames) all += toQt(frame) + '|';
  return all;
}

// An encoder on its own pseudo-terminal, started or the test fails.
struct Encoder {
  sim::SimulatedEncoder sim;
  QString path;
  bool start() {
    if (!sim.start()) {
      qWarning("simulated encoder: %s", sim.errorText().c_str());
      return false;
    }
    path = QString::fromStdString(sim.slavePath());
    return true;
  }
};

// Everything the control delivers through OnComm.
struct InputCollector {
  QByteArray bytes;
  int events = 0;
  QList<short> commEvents;
  explicit InputCollector(CMSComm& comm) {
    QObject::connect(&comm, &CMSComm::OnComm, &comm, [this, &comm] {
      ++events;
      commEvents << comm.GetCommEvent();
      bytes += comm.GetInput();
    });
  }
};

// The line settings the control gave the slave side of `pty`.
termios2 lineOf(const PtyPair& pty) {
  termios2 t{};
  ::ioctl(pty.master(), TCGETS2, &t);
  return t;
}

}  // namespace

class TestMSComm : public QObject {
  Q_OBJECT

 private slots:
  void cleanup();

  void startsClosedOnTheInitialLine();
  void opensThePortItsNumberResolvesTo();
  void framesGoOutByteExact();
  void everyByteValuePassesUnchanged();
  void aDevicePathIsUsedUntilTheNextCommPort();

  void arrivingBytesRaiseOnCommWithEvent2();
  void aReplyInBurstsIsGatheredByInput();
  void bytesArrivingDuringANestedLoopStillRaiseOnComm();
  void staleBytesFromBeforeTheOpenAreDropped();

  void settingsTextsAcceptedAndRejected_data();
  void settingsTextsAcceptedAndRejected();
  void settingsReachTheLine();

  void aMissingDeviceIsReportedWithItsPath();
  void aPathThatIsNoTerminalIsReportedAsSuch();
  void portNumbersOutOfRangeAreRefusedOnOpen_data();
  void portNumbersOutOfRangeAreRefusedOnOpen();
  void aRelativePortVariableIsRefusedByName();
  void aPortInUseIsRefused();
  void aDeviceWithoutRightsNamesTheGroup();
  void callsThatNeedTheRightPortState();

  void unpluggingClosesThePortWithOneReport();
  void aHungUpLineClosesThePortWithOneReport();
  void destroyingTheControlReleasesThePort();
};

void TestMSComm::cleanup() {
  for (int n : {1, 2, 3, 4, 5, 7, 255})
    qunsetenv(qPrintable(QString("ENCODER_COM%1").arg(n)));
}

void TestMSComm::startsClosedOnTheInitialLine() {
  CMSComm comm;
  QVERIFY(!comm.GetPortOpen());
  QCOMPARE(comm.GetSettings(), QString("9600,n,8,1"));
  QCOMPARE(comm.GetCommEvent(), short(0));
  QVERIFY(!comm.isVisible());
  // Opening without choosing anything opens port 1 on 9600,n,8,1.
  PtyPair pty;
  QVERIFY2(pty.isOpen(), pty.errorText().c_str());
  qputenv("ENCODER_COM1", QByteArray::fromStdString(pty.slavePath()));
  comm.SetPortOpen(true);
  QVERIFY(comm.GetPortOpen());
  const termios2 line = lineOf(pty);
  QCOMPARE(line.c_ospeed, 9600u);
  QCOMPARE(line.c_ispeed, 9600u);
  QCOMPARE(line.c_cflag & CSTOPB, 0u);
  QCOMPARE(line.c_cflag & PARODD, 0u);
  // Raw: no echo, no signals or line editing, no flow control, no mapping.
  QCOMPARE(line.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  QCOMPARE(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
  QCOMPARE(line.c_oflag & OPOST, 0u);
}

void TestMSComm::opensThePortItsNumberResolvesTo() {
  Encoder a, b;
  QVERIFY(a.start());
  QVERIFY(b.start());
  qputenv("ENCODER_COM2", a.path.toLocal8Bit());
  qputenv("ENCODER_COM3", b.path.toLocal8Bit());
  CMSComm comm;
  comm.SetCommPort(3);
  QCOMPARE(comm.GetCommPort(), short(3));
  comm.SetPortOpen(true);
  comm.SetOutput(toQt(protocol::kResetFrame));
  QVERIFY(b.sim.waitForFrames(1, std::chrono::seconds(2)));
  QCOMPARE(b.sim.resetCount(), 1);
  QCOMPARE(a.sim.received().size(), 0u);

  // Closed and given another number, the control opens the other port.
  comm.SetPortOpen(false);
  QVERIFY(!comm.GetPortOpen());
  comm.SetCommPort(2);
  comm.SetPortOpen(true);
  comm.SetOutput(toQt(protocol::kResetFrame));
  QVERIFY(a.sim.waitForFrames(1, std::chrono::seconds(2)));
  QCOMPARE(a.sim.resetCount(), 1);
  QCOMPARE(b.sim.resetCount(), 1);
}

void TestMSComm::framesGoOutByteExact() {
  Encoder enc;
  QVERIFY(enc.start());
  qputenv("ENCODER_COM4", enc.path.toLocal8Bit());
  CMSComm comm;
  InputCollector input(comm);
  comm.SetCommPort(4);
  comm.SetPortOpen(true);

  // Two frames in one call, and one with bytes above 0x7F and control
  // bytes inside the track texts.
  const protocol::Bytes write = protocol::writeFrame(7, "%\xe9T1\x7f",
                                                     std::string("1\x00"
                                                                 "2",
                                                                 3),
                                                     "3\x1c\x13\x11\r\n");
  comm.SetOutput(toQt(protocol::kHighCoercivityFrame) + toQt(write));
  QVERIFY(enc.sim.waitForFrames(2, std::chrono::seconds(2)));
  const std::vector<sim::Bytes> expected{
      {protocol::kHighCoercivityFrame.begin(),
       protocol::kHighCoercivityFrame.end()},
      write};
  QCOMPARE(toQt(enc.sim.frames()), toQt(expected));
  QCOMPARE(toQt(enc.sim.received()),
           toQt(protocol::kHighCoercivityFrame) + toQt(write));

  // The write is answered with the status answer.
  QTRY_COMPARE_WITH_TIMEOUT(input.bytes,
                            QByteArray("\x1br"
                                       "p"),
                            3000);
  QCOMPARE(enc.sim.writtenCards().size(), 1u);
  QCOMPARE(enc.sim.writtenCards()[0].card.track1, std::string("%\xe9T1\x7f"));
}

void TestMSComm::everyByteValuePassesUnchanged() {
  Encoder enc;
  QVERIFY(enc.start());
  enc.sim.setSilent(true);
  CMSComm comm;
  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  QByteArray all;
  for (int b = 0; b < 256; ++b) all += char(b);
  comm.SetOutput(all);
  QTRY_COMPARE_WITH_TIMEOUT(toQt(enc.sim.received()), all, 3000);
}

void TestMSComm::aDevicePathIsUsedUntilTheNextCommPort() {
  Encoder byPath, byNumber;
  QVERIFY(byPath.start());
  QVERIFY(byNumber.start());
  qputenv("ENCODER_COM5", byNumber.path.toLocal8Bit());
  CMSComm comm;
  comm.SetCommPort(5);
  comm.SetDevicePath(byPath.path);
  comm.SetPortOpen(true);
  comm.SetOutput(toQt(protocol::kResetFrame));
  QVERIFY(byPath.sim.waitForFrames(1, std::chrono::seconds(2)));
  comm.SetPortOpen(false);

  comm.SetCommPort(5);
  QVERIFY(comm.GetDevicePath().isEmpty());
  comm.SetPortOpen(true);
  comm.SetOutput(toQt(protocol::kResetFrame));
  QVERIFY(byNumber.sim.waitForFrames(1, std::chrono::seconds(2)));
  QCOMPARE(byPath.sim.resetCount(), 1);
}

void TestMSComm::arrivingBytesRaiseOnCommWithEvent2() {
  Encoder enc;
  QVERIFY(enc.start());
  CMSComm comm;
  InputCollector input(comm);
  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  QCOMPARE(comm.GetCommEvent(), short(0));
  comm.SetOutput(toQt(protocol::kCommunicationTestFrame));
  QTRY_COMPARE_WITH_TIMEOUT(input.bytes,
                            toQt(protocol::kCommunicationTestReply), 3000);
  QVERIFY(input.events >= 1);
  for (short event : input.commEvents) QCOMPARE(event, short(2));
  QCOMPARE(comm.GetCommEvent(), short(2));
  // Taken once, the bytes are gone.
  QCOMPARE(comm.GetInput(), QByteArray());
}

void TestMSComm::aReplyInBurstsIsGatheredByInput() {
  Encoder enc;
  QVERIFY(enc.start());
  enc.sim.loadDeck({{"HELLO", "12345", "67890"}});
  enc.sim.splitNextReply({3, 5}, std::chrono::milliseconds(200));
  CMSComm comm;
  InputCollector input(comm);
  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  comm.SetOutput(toQt(*protocol::readCommand(7)));
  const QByteArray reply(
      "\x1bs"
      "12345A67890BHELLO?\x1c\x1br"
      "p");
  QTRY_COMPARE_WITH_TIMEOUT(input.bytes, reply, 3000);
  // Bursts 200 ms apart arrive as separate events.
  QVERIFY2(input.events >= 2, qPrintable(QString::number(input.events)));
}

void TestMSComm::bytesArrivingDuringANestedLoopStillRaiseOnComm() {
  // A handler that shows a message box waits in a nested event loop;
  // bytes that arrive meanwhile must still be announced.
  Encoder enc;
  QVERIFY(enc.start());
  CMSComm comm;
  QByteArray taken;
  int depth = 0;
  bool nested = false;
  QObject::connect(&comm, &CMSComm::OnComm, &comm, [&] {
    taken += comm.GetInput();
    if (nested) return;
    nested = true;
    ++depth;
    enc.sim.sendNow({'s', 'e', 'c', 'o', 'n', 'd'});
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
    --depth;
  });
  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  enc.sim.sendNow({'f', 'i', 'r', 's', 't'});
  QTRY_COMPARE_WITH_TIMEOUT(taken, QByteArray("firstsecond"), 3000);
  QTRY_COMPARE(depth, 0);
}

void TestMSComm::staleBytesFromBeforeTheOpenAreDropped() {
  Encoder enc;
  QVERIFY(enc.start());
  enc.sim.sendNow({'o', 'l', 'd'});
  // Wait until the bytes really wait on the line.
  const int peek = ::open(enc.path.toLocal8Bit().constData(),
                          O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  QVERIFY(peek >= 0);
  int queued = 0;
  QTRY_VERIFY((::ioctl(peek, FIONREAD, &queued), queued == 3));
  ::close(peek);
  CMSComm comm;
  InputCollector input(comm);
  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  comm.SetOutput(toQt(protocol::kCommunicationTestFrame));
  QTRY_COMPARE_WITH_TIMEOUT(input.bytes,
                            toQt(protocol::kCommunicationTestReply), 3000);
}

void TestMSComm::settingsTextsAcceptedAndRejected_data() {
  QTest::addColumn<QString>("settings");
  QTest::addColumn<QString>("error");  // empty: accepted
  // A pseudo-terminal has neither a parity bit nor fewer than 8 data bits,
  // so those lines are only accepted while the port is closed.
  QTest::addColumn<bool>("ptyCanTakeIt");
  QTest::newRow("initial") << "9600,n,8,1"
                           << "" << true;
  QTest::newRow("upper-case parity") << "19200,N,8,1"
                                     << "" << true;
  QTest::newRow("blanks around fields") << " 9600 , n ,8, 1"
                                        << "" << true;
  QTest::newRow("even, 7, 2") << "4800,e,7,2"
                              << "" << false;
  QTest::newRow("odd") << "1200,o,8,1"
                       << "" << true;
  QTest::newRow("mark, 6") << "300,m,6,1"
                           << "" << false;
  QTest::newRow("space, 5") << "38400,s,5,2"
                            << "" << false;
  QTest::newRow("non-standard baud") << "12345,n,8,1"
                                     << "" << true;
  QTest::newRow("empty baud") << ",n,8,1"
                              << "baud rate ''" << true;
  QTest::newRow("zero baud") << "0,n,8,1"
                             << "baud rate '0'" << true;
  QTest::newRow("negative baud") << "-9600,n,8,1"
                                 << "baud rate '-9600'" << true;
  QTest::newRow("letters in baud") << "96k,n,8,1"
                                   << "baud rate '96k'" << true;
  QTest::newRow("non-ASCII digits")
      << QString::fromUtf8("\u0669\u0666\u0660\u0660,n,8,1") << "baud rate"
      << true;
  QTest::newRow("huge baud") << "99999999999,n,8,1"
                             << "baud rate" << true;
  QTest::newRow("bad parity") << "9600,x,8,1"
                              << "parity 'x'" << true;
  QTest::newRow("word parity") << "9600,none,8,1"
                               << "parity 'none'" << true;
  QTest::newRow("nine data bits") << "9600,n,9,1"
                                  << "data bits '9'" << true;
  QTest::newRow("four data bits") << "9600,n,4,1"
                                  << "data bits '4'" << true;
  QTest::newRow("one and a half stop") << "9600,n,8,1.5"
                                       << "1.5 stop bits" << true;
  QTest::newRow("three stop bits") << "9600,n,8,3"
                                   << "stop bits '3'" << true;
  QTest::newRow("three fields") << "9600,n,8"
                                << "four fields" << true;
  QTest::newRow("five fields") << "9600,n,8,1,1"
                               << "four fields" << true;
  QTest::newRow("empty") << ""
                         << "four fields" << true;
}

void TestMSComm::settingsTextsAcceptedAndRejected() {
  QFETCH(QString, settings);
  QFETCH(QString, error);
  QFETCH(bool, ptyCanTakeIt);
  PtyPair pty;
  // Closed and open alike; a refused text leaves the settings as they were.
  for (bool open : {false, true}) {
    if (open && !ptyCanTakeIt) continue;
    CMSComm comm;
    comm.SetDevicePath(slavePathOf(pty));
    if (open) comm.SetPortOpen(true);
    comm.SetSettings("2400,n,8,1");
    const QString text = errorOf([&] { comm.SetSettings(settings); });
    if (error.isEmpty()) {
      QVERIFY2(text.isEmpty(), qPrintable(text));
      QCOMPARE(comm.GetSettings(), settings);
    } else {
      QVERIFY2(text.contains(error), qPrintable(text));
      QVERIFY2(text.contains('"' + settings + '"'), qPrintable(text));
      QCOMPARE(comm.GetSettings(), QString("2400,n,8,1"));
      if (open) QCOMPARE(lineOf(pty).c_ospeed, 2400u);
    }
    QCOMPARE(comm.GetPortOpen(), open);
  }
}

void TestMSComm::settingsReachTheLine() {
  PtyPair pty;
  CMSComm comm;
  comm.SetDevicePath(slavePathOf(pty));
  comm.SetSettings("4800,n,8,1");  // closed: applied by the next open
  comm.SetPortOpen(true);
  QCOMPARE(lineOf(pty).c_ospeed, 4800u);

  // Open: applied at once. (A pseudo-terminal keeps the speed, the stop
  // bits and the parity sense; it forces 8 bits without a parity bit.)
  comm.SetSettings("19200,o,8,2");
  termios2 line = lineOf(pty);
  QCOMPARE(line.c_ospeed, 19200u);
  QCOMPARE(line.c_cflag & CSTOPB, tcflag_t(CSTOPB));
  QCOMPARE(line.c_cflag & PARODD, tcflag_t(PARODD));

  comm.SetSettings("12345,n,8,1");
  line = lineOf(pty);
  QCOMPARE(line.c_ospeed, 12345u);
  QCOMPARE(line.c_cflag & CSTOPB, 0u);

  // A line the open device refuses (a pseudo-terminal has 8 data bits
  // only) is refused by the control too, and the line stays as it was.
  const QString text = errorOf([&] { comm.SetSettings("9600,n,7,2"); });
  QVERIFY2(text.contains("cannot use the settings \"9600,n,7,2\""),
           qPrintable(text));
  QCOMPARE(comm.GetSettings(), QString("12345,n,8,1"));
  line = lineOf(pty);
  QCOMPARE(line.c_ospeed, 12345u);
  QCOMPARE(line.c_cflag & CSTOPB, 0u);
  QVERIFY(comm.GetPortOpen());
}

void TestMSComm::aPathThatIsNoTerminalIsReportedAsSuch() {
  QTemporaryDir dir;
  const QString file = dir.filePath("plain-file");
  QFile plain(file);
  QVERIFY(plain.open(QIODevice::WriteOnly));
  plain.close();
  for (const QString& path : {file, QString("/dev/null")}) {
    CMSComm comm;
    comm.SetDevicePath(path);
    const QString text = errorOf([&] { comm.SetPortOpen(true); });
    QVERIFY2(text.contains(path), qPrintable(text));
    QVERIFY2(text.contains("not a serial port"), qPrintable(text));
    QVERIFY(!comm.GetPortOpen());
  }
}

void TestMSComm::aMissingDeviceIsReportedWithItsPath() {
  const QString missing = "/dev/no-such-encoder-port";
  qputenv("ENCODER_COM7", missing.toLocal8Bit());
  CMSComm comm;
  comm.SetCommPort(7);
  const QString text = errorOf([&] { comm.SetPortOpen(true); });
  QVERIFY2(text.contains(missing), qPrintable(text));
  QVERIFY2(text.contains("does not exist"), qPrintable(text));
  QVERIFY(!comm.GetPortOpen());
  QCOMPARE(comm.GetCommPort(), short(7));

  // Without an override port 7 is /dev/ttyS6.
  qunsetenv("ENCODER_COM7");
  if (!QFile::exists("/dev/ttyS6")) {
    const QString plain = errorOf([&] { comm.SetPortOpen(true); });
    QVERIFY2(plain.contains("/dev/ttyS6"), qPrintable(plain));
  }

  // Once the device is there, the same number opens.
  Encoder enc;
  QVERIFY(enc.start());
  qputenv("ENCODER_COM7", enc.path.toLocal8Bit());
  comm.SetPortOpen(true);
  QVERIFY(comm.GetPortOpen());

  // A device that vanishes while the port is closed is missing again.
  comm.SetPortOpen(false);
  enc.sim.stop();
  const QString gone = errorOf([&] { comm.SetPortOpen(true); });
  QVERIFY2(!gone.isEmpty(), "opening a stopped encoder's port succeeded");
  QVERIFY(!comm.GetPortOpen());
}

void TestMSComm::portNumbersOutOfRangeAreRefusedOnOpen_data() {
  QTest::addColumn<int>("port");
  QTest::addColumn<bool>("valid");
  QTest::newRow("0") << 0 << false;
  QTest::newRow("-1") << -1 << false;
  QTest::newRow("256") << 256 << false;
  QTest::newRow("32767") << 32767 << false;
  QTest::newRow("-32768") << -32768 << false;
  QTest::newRow("1") << 1 << true;
  QTest::newRow("255") << 255 << true;
}

void TestMSComm::portNumbersOutOfRangeAreRefusedOnOpen() {
  QFETCH(int, port);
  QFETCH(bool, valid);
  Encoder enc;
  QVERIFY(enc.start());
  qputenv(qPrintable(QString("ENCODER_COM%1").arg(port)),
          enc.path.toLocal8Bit());
  CMSComm comm;
  comm.SetCommPort(short(port));  // taken; refused only by the open
  QCOMPARE(int(comm.GetCommPort()), port);
  const QString text = errorOf([&] { comm.SetPortOpen(true); });
  QCOMPARE(comm.GetPortOpen(), valid);
  if (valid) {
    QVERIFY2(text.isEmpty(), qPrintable(text));
  } else {
    QVERIFY2(text.contains(QString("Invalid port number %1").arg(port)),
             qPrintable(text));
    QCOMPARE(int(comm.GetCommPort()), port);
  }
  qunsetenv(qPrintable(QString("ENCODER_COM%1").arg(port)));
}

// ENCODER_COMn=enc would be ./enc for the library and /dev/enc for the
// serial port class: refused, with the variable named, although ./enc is a
// working terminal here.
void TestMSComm::aRelativePortVariableIsRefusedByName() {
  Encoder enc;
  QVERIFY(enc.start());
  QTemporaryDir folder;
  QVERIFY(folder.isValid());
  QVERIFY(QFile::link(enc.path, folder.filePath("enc")));
  const QString previous = QDir::currentPath();
  QVERIFY(QDir::setCurrent(folder.path()));
  qputenv("ENCODER_COM4", "enc");
  CMSComm comm;
  comm.SetCommPort(4);
  const QString text = errorOf([&] { comm.SetPortOpen(true); });
  QDir::setCurrent(previous);
  QVERIFY(!comm.GetPortOpen());
  QVERIFY2(text.contains("ENCODER_COM4") && text.contains("absolute path"),
           qPrintable(text));
}

void TestMSComm::aPortInUseIsRefused() {
  Encoder enc;
  QVERIFY(enc.start());
  CMSComm first;
  InputCollector input(first);
  first.SetDevicePath(enc.path);
  first.SetPortOpen(true);

  CMSComm second;
  second.SetDevicePath(enc.path);
  const QString text = errorOf([&] { second.SetPortOpen(true); });
  QVERIFY2(text.contains("is in use by another program"), qPrintable(text));
  QVERIFY2(text.contains(enc.path), qPrintable(text));
  QVERIFY(!second.GetPortOpen());
  // The refused open leaves the first one working.
  QVERIFY(first.GetPortOpen());
  first.SetOutput(toQt(protocol::kCommunicationTestFrame));
  QTRY_COMPARE_WITH_TIMEOUT(input.bytes,
                            toQt(protocol::kCommunicationTestReply), 3000);
  first.SetPortOpen(false);

  // Another program that holds the device's lock keeps it busy too.
  const int other = ::open(enc.path.toLocal8Bit().constData(),
                           O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  QVERIFY(other >= 0);
  QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
  const QString locked = errorOf([&] { second.SetPortOpen(true); });
  QVERIFY2(locked.contains("is in use by another program"), qPrintable(locked));
  QVERIFY(!second.GetPortOpen());
  ::close(other);
  second.SetPortOpen(true);
  QVERIFY(second.GetPortOpen());
}

void TestMSComm::aDeviceWithoutRightsNamesTheGroup() {
  if (::geteuid() == 0) {
    // The "nonroot" test runs this as an ordinary user: it must not skip.
    if (qEnvironmentVariableIsSet("QUILLON_UNPRIVILEGED_RUN"))
      QFAIL("meant to run as an ordinary user, but runs as root");
    QSKIP("root may open any device (the nonroot test runs this)");
  }
  PtyPair pty;
  QVERIFY2(pty.isOpen(), pty.errorText().c_str());
  QCOMPARE(::chmod(pty.slavePath().c_str(), 0), 0);
  CMSComm comm;
  comm.SetDevicePath(slavePathOf(pty));
  const QString text = errorOf([&] { comm.SetPortOpen(true); });
  QVERIFY2(text.startsWith("Permission denied opening " + slavePathOf(pty)),
           qPrintable(text));
  QVERIFY2(text.contains("group"), qPrintable(text));
  QVERIFY(!comm.GetPortOpen());
}

void TestMSComm::callsThatNeedTheRightPortState() {
  Encoder enc;
  QVERIFY(enc.start());
  CMSComm comm;
  QVERIFY(errorOf([&] {
            comm.SetOutput("x");
          }).contains("only when the port is open"));
  QVERIFY(errorOf([&] {
            (void)comm.GetInput();
          }).contains("only when the port is open"));
  comm.SetPortOpen(false);  // closing a closed port does nothing
  QVERIFY(!comm.GetPortOpen());

  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  QVERIFY(errorOf([&] { comm.SetPortOpen(true); }).contains("already open"));
  QVERIFY(errorOf([&] { comm.SetCommPort(2); }).contains("already open"));
  QVERIFY(errorOf([&] {
            comm.SetDevicePath("/dev/null");
          }).contains("already open"));
  // Still open on the same device.
  QVERIFY(comm.GetPortOpen());
  QCOMPARE(comm.GetDevicePath(), enc.path);
  comm.SetOutput(toQt(protocol::kResetFrame));
  QVERIFY(enc.sim.waitForFrames(1, std::chrono::seconds(2)));
}

void TestMSComm::unpluggingClosesThePortWithOneReport() {
  Encoder enc;
  QVERIFY(enc.start());
  CMSComm comm;
  QSignalSpy failed(&comm, &CMSComm::portFailed);
  int onComm = 0;
  QObject::connect(&comm, &CMSComm::OnComm, &comm, [&] { ++onComm; });
  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  enc.sim.unplug();
  // Give a flood every chance to show.
  QTest::qWait(500);
  QCOMPARE(failed.count(), 1);
  QVERIFY(!comm.GetPortOpen());
  const QString text = failed.at(0).at(0).toString();
  QVERIFY2(text.contains(enc.path), qPrintable(text));
  QCOMPARE(onComm, 0);
  QVERIFY(errorOf([&] {
            comm.SetOutput("x");
          }).contains("only when the port is open"));
}

void TestMSComm::aHungUpLineClosesThePortWithOneReport() {
  // A USB serial adapter pulled out hangs its terminal up; the master side
  // of the line stays. Hanging a terminal up takes privileges.
  if (::geteuid() != 0) QSKIP("hanging up a terminal needs root");
  Encoder enc;
  QVERIFY(enc.start());
  CMSComm comm;
  QSignalSpy failed(&comm, &CMSComm::portFailed);
  comm.SetDevicePath(enc.path);
  comm.SetPortOpen(true);
  const int fd = ::open(enc.path.toLocal8Bit().constData(),
                        O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  QVERIFY(fd >= 0);
  QCOMPARE(::ioctl(fd, TIOCVHANGUP), 0);
  ::close(fd);
  QTest::qWait(500);
  QCOMPARE(failed.count(), 1);
  QVERIFY(!comm.GetPortOpen());
}

void TestMSComm::destroyingTheControlReleasesThePort() {
  Encoder enc;
  QVERIFY(enc.start());
  auto first = std::make_unique<CMSComm>();
  first->SetDevicePath(enc.path);
  first->SetPortOpen(true);
  first.reset();
  CMSComm second;
  second.SetDevicePath(enc.path);
  second.SetPortOpen(true);
  QVERIFY(second.GetPortOpen());
}

QTEST_MAIN(TestMSComm)
#include "mscomm_test.moc"
