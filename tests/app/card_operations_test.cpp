// The operator's card cycle against a simulated encoder on a real
// pseudo-terminal: write frames and their checks, auto-increment, replies
// and what they set off, erase and coercivity frames with their pauses,
// the seconds display, log records, saving the log and track 2 density.
#include <unistd.h>

#include <QLabel>
#include <QRadioButton>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <mutex>

#include "density_dlg.h"
#include "main_dialog_test.h"

namespace {

const QByteArray kWriteEnd("\x1d\x1b\\\x1bj");
const QString kMsr = QStringLiteral("MSR Encoder Program");

QByteArray bytes(std::initializer_list<int> values) {
  QByteArray out;
  for (int v : values) out.append(static_cast<char>(v));
  return out;
}

// Frames as the encoder received them, each with the time it arrived.
class FrameClock {
 public:
  explicit FrameClock(sim::SimulatedEncoder& encoder) {
    encoder.setTrafficObserver([this](auto direction, const sim::Bytes& b) {
      if (direction != sim::SimulatedEncoder::Direction::Received) return;
      std::lock_guard lock(m_mutex);
      m_times.push_back(std::chrono::steady_clock::now());
      m_frames.append(QByteArray(reinterpret_cast<const char*>(b.data()),
                                 static_cast<qsizetype>(b.size())));
    });
  }
  QList<QByteArray> frames() {
    std::lock_guard lock(m_mutex);
    return m_frames;
  }
  /// Milliseconds between frame i and frame i + 1.
  double gapMs(int i) {
    std::lock_guard lock(m_mutex);
    return std::chrono::duration<double, std::milli>(m_times.at(i + 1) -
                                                     m_times.at(i))
        .count();
  }

 private:
  std::mutex m_mutex;
  std::vector<std::chrono::steady_clock::time_point> m_times;
  QList<QByteArray> m_frames;
};

}  // namespace

class CardOperationsTest : public MainDialogTest<RecordingPrompt> {
  Q_OBJECT

 private:
  // The fields and boxes as an operator leaves them.
  void fill(int boxes, const QByteArray& t1, const QByteArray& t2,
            const QByteArray& t3) {
    dlg().m_bTrack1 = (boxes & 1) ? TRUE : FALSE;
    dlg().m_bTrack2 = (boxes & 2) ? TRUE : FALSE;
    dlg().m_bTrack3 = (boxes & 4) ? TRUE : FALSE;
    dlg().m_strTrack1 = t1;
    dlg().m_strTrack2 = t2;
    dlg().m_strTrack3 = t3;
    dlg().UpdateData(false);
  }
  QString text(int id) {
    return qobject_cast<QLabel*>(dlg().GetDlgItem(id))->text();
  }
  int records(const char* header) {
    return static_cast<int>(fileBytes(m_log->path()).count(header));
  }

 private slots:
  void init() { openOnSimulatedCom1(); }
  void cleanup() { tearDown(); }

  void writeSendsTheSelectedTracksOrSaysWhatIsMissing_data() {
    QTest::addColumn<int>("boxes");
    QTest::addColumn<QByteArray>("t1");
    QTest::addColumn<QByteArray>("t2");
    QTest::addColumn<QByteArray>("t3");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<QByteArray>("frame");  // empty: nothing sent
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("caption");
    const QByteArray none;
    const QByteArray longText(77, '1');
    QTest::newRow("track 1 upper-cased")
        << 1 << QByteArray("abc") << none << none << true
        << bytes({0x1B, 0x74, 0x42, 0x41, 0x42, 0x43}) + kWriteEnd << ""
        << "";
    QTest::newRow("tracks 2 and 3")
        << 6 << none << QByteArray("123") << QByteArray("456") << true
        << bytes({0x1B, 0x74, 0x31, 0x32, 0x33, 0x41, 0x34, 0x35, 0x36}) +
               kWriteEnd
        << ""
        << "";
    QTest::newRow("all three, track 2 empty")
        << 7 << QByteArray("X") << none << QByteArray("9") << true
        << bytes({0x1B, 0x74, 0x41, 0x39, 0x42, 0x58}) + kWriteEnd << ""
        << "";
    QTest::newRow("tracks 1 and 3")
        << 5 << QByteArray("123") << none << QByteArray("45") << true
        << bytes({0x1B, 0x74, 0x41, 0x34, 0x35, 0x42, 0x31, 0x32, 0x33}) +
               kWriteEnd
        << ""
        << "";
    const QString noData = QStringLiteral("Please input data of card");
    QTest::newRow("track 2 empty")
        << 2 << QByteArray("1") << none << QByteArray("3") << true << none
        << noData << kMsr;
    QTest::newRow("all three, track 1 empty")
        << 7 << none << QByteArray("2") << QByteArray("3") << true << none
        << noData << kMsr;
    QTest::newRow("tracks 1 and 2, track 2 empty")
        << 3 << QByteArray("1") << none << none << true << none << noData
        << kMsr;
    QTest::newRow("data checked before the port")
        << 4 << none << none << none << false << none << noData << kMsr;
    QTest::newRow("port closed") << 1 << QByteArray("1") << none << none
                                 << false << none << "Please open serial port"
                                 << "Velmora";
    QTest::newRow("port closed, no track") << 0 << none << none << none << false
                                           << none << "Please open serial port"
                                           << "Velmora";
    QTest::newRow("no track")
        << 0 << QByteArray("1") << none << none << true << none
        << "Please select  tracks to write" << kMsr;
    QTest::newRow("selected track over its limit")
        << 1 << longText << none << none << true << none
        << "Enter no more than 76 characters."
        << "Velmora";
    QTest::newRow("unselected track over its limit")
        << 2 << longText << QByteArray("5") << none << true
        << bytes({0x1B, 0x74, 0x35}) + kWriteEnd
        << "Enter no more than 76 characters."
        << "Velmora";
  }
  void writeSendsTheSelectedTracksOrSaysWhatIsMissing() {
    QFETCH(int, boxes);
    QFETCH(QByteArray, t1);
    QFETCH(QByteArray, t2);
    QFETCH(QByteArray, t3);
    QFETCH(bool, portOpen);
    QFETCH(QByteArray, frame);
    QFETCH(QString, message);
    QFETCH(QString, caption);
    if (!portOpen) dlg().OnClosePort();
    encoder().clearReceived();
    fill(boxes, t1, t2, t3);
    dlg().OnCommand(32775);
    const QList<QByteArray> sent = m_port->settledFrames(100);
    QCOMPARE(sent,
             frame.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{frame});
    QCOMPARE(m_prompt->messages.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) {
      QCOMPARE(m_prompt->messages[0].text, message);
      QCOMPARE(m_prompt->messages[0].caption, caption);
    }
    QCOMPARE(dlg().IsTimerRunning(), !frame.isEmpty());
    if (!frame.isEmpty() && boxes == 1) {
      auto* field = qobject_cast<MultiLineEdit*>(dlg().GetDlgItem(1006));
      QCOMPARE(field->windowText(), QString::fromLatin1(t1.toUpper()));
    }
  }

  void aConfirmedWriteAdvancesTheNextCard_data() {
    QTest::addColumn<int>("boxes");
    QTest::addColumn<int>("autoIncBoxes");
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");  // empty: nothing sent
    QTest::newRow("ten digits")
        << 2 << 2 << 1 << QByteArray("0000000009") << QByteArray("0000000010");
    QTest::newRow("ID-998 step 3")
        << 1 << 1 << 3 << QByteArray("ID-998") << QByteArray("ID-1001");
    QTest::newRow("12 step 250")
        << 2 << 2 << 250 << QByteArray("12") << QByteArray("262");
    QTest::newRow("negative step borrows")
        << 2 << 2 << -1 << QByteArray("0100") << QByteArray("0099");
    QTest::newRow("below zero is refused")
        << 2 << 2 << -1 << QByteArray("0000") << QByteArray();
    QTest::newRow("auto-increment of an unselected track")
        << 2 << 4 << 1 << QByteArray("7") << QByteArray("7");
  }
  void aConfirmedWriteAdvancesTheNextCard() {
    QFETCH(int, boxes);
    QFETCH(int, autoIncBoxes);
    QFETCH(int, step);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    fill(boxes, first, first, first);
    dlg().m_bAutoInc1 = (autoIncBoxes & 1) ? TRUE : FALSE;
    dlg().m_bAutoInc2 = (autoIncBoxes & 2) ? TRUE : FALSE;
    dlg().m_bAutoInc3 = (autoIncBoxes & 4) ? TRUE : FALSE;
    dlg().m_nStep1 = dlg().m_nStep2 = dlg().m_nStep3 = step;
    dlg().UpdateData(false);
    dlg().OnWriteCard();
    QVERIFY(encoder().waitingForSwipe() || m_port->waitForFrames(1));
    QVERIFY(waitUntil([&] { return encoder().waitingForSwipe(); }));
    QVERIFY(encoder().swipe());
    QVERIFY(waitUntil([&] { return dlg().m_nReplyStatus == 1; }));
    QCOMPARE(text(1012), QString("Status: Write successfully"));
    dlg().OnWriteCard();
    QVERIFY(m_port->waitForFrames(second.isEmpty() ? 1 : 2));
    const QList<QByteArray> sent = m_port->settledFrames(100);
    const QByteArray block = boxes == 1 ? "B" + second : second;
    QCOMPARE(sent.size(), second.isEmpty() ? 1 : 2);
    if (!second.isEmpty()) {
      QCOMPARE(sent.last(), "\x1bt" + block + kWriteEnd);
      // Status 1 stays only when no track was advanced.
      QCOMPARE(dlg().m_nReplyStatus, second == first ? 1 : 0);
    } else {
      QCOMPARE(m_prompt->messages.size(), 1);
      QVERIFY(m_prompt->messages[0].text.startsWith("Track 2:"));
      QCOMPARE(dlg().m_strTrack2, first);
    }
  }

  void repliesSetOffTheNextStep_data() {
    QTest::addColumn<bool>("reading");
    QTest::addColumn<QByteArray>("reply");  // empty: the encoder's own
    QTest::addColumn<char>("status");
    QTest::addColumn<bool>("oneBytePerEvent");
    QTest::addColumn<QString>("status1");
    QTest::addColumn<QString>("status2");
    QTest::addColumn<QByteArray>("field2");
    QTest::addColumn<QString>("count2");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("stale");  // on the line before the frame
    QTest::newRow("read success")
        << true << QByteArray("\x1bs123?\x1c\x1brp") << 'p' << false
        << "Status: Read successfully"
        << "Status: " << QByteArray("123") << "3 bytes"
        << QByteArray("Read operation\r\nTrack 2 data:123\r\n") << QByteArray();
    QTest::newRow("read success, a byte per event")
        << true << QByteArray("\x1bs123?\x1c\x1brp") << 'p' << true
        << "Status: Read successfully"
        << "Status: " << QByteArray("123") << "3 bytes"
        << QByteArray("Read operation\r\nTrack 2 data:123\r\n") << QByteArray();
    QTest::newRow("read failure") << true << QByteArray("\x1bs123?\x1c\x1brq")
                                  << 'q' << false << "Status: read failed"
                                  << "Status: " << QByteArray() << "0 bytes"
                                  << QByteArray() << QByteArray();
    QTest::newRow("write success")
        << false << QByteArray() << 'p' << true << "Status: "
        << "Status: Write successfully" << QByteArray("123") << "3 bytes"
        << QByteArray("Write operation\r\nTrack 2 data:123\r\n")
        << QByteArray();
    QTest::newRow("write failure")
        << false << QByteArray() << 'q' << false << "Status: "
        << "Status: Write card failed" << QByteArray("123") << "0 byte"
        << QByteArray() << QByteArray();
    // No 'r' in front of the 'p': noise, not a status answer.
    QTest::newRow("write answered by noise")
        << false << QByteArray("garbage from a wrong device p") << ' ' << false
        << "Status"
        << "Status" << QByteArray("123") << "0 byte" << QByteArray()
        << QByteArray();
    // A status marker from before the frame never pairs with a byte that
    // came after it: the answer to a write begins after the write.
    QTest::newRow("write answered by a half, the marker before it")
        << false << QByteArray("p") << ' ' << false << "Status"
        << "Status" << QByteArray("123") << "0 byte" << QByteArray()
        << QByteArray("\x1br");
  }
  void repliesSetOffTheNextStep() {
    QFETCH(bool, reading);
    QFETCH(QByteArray, reply);
    QFETCH(char, status);
    QFETCH(bool, oneBytePerEvent);
    QFETCH(QString, status1);
    QFETCH(QString, status2);
    QFETCH(QByteArray, field2);
    QFETCH(QString, count2);
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, stale);
    fill(2, "", "123", "");
    if (!stale.isEmpty()) {
      encoder().sendNow(sim::Bytes(stale.begin(), stale.end()));
      QTest::qWait(100);  // taken by the program before the command
    }
    if (!reply.isEmpty()) {
      encoder().replaceNextReply(sim::Bytes(reply.begin(), reply.end()));
    } else if (status == 'q') {
      encoder().failNext(1);
    }
    if (oneBytePerEvent) {
      encoder().splitNextReply(std::vector<std::size_t>(12, 1),
                               std::chrono::milliseconds(5));
    }
    auto bursts = std::make_shared<std::atomic<int>>(0);
    encoder().setTrafficObserver([bursts](auto direction, const sim::Bytes&) {
      if (direction == sim::SimulatedEncoder::Direction::Sent) ++*bursts;
    });
    dlg().OnCommand(reading ? 32776 : 32775);
    QVERIFY(waitUntil([&] { return encoder().waitingForSwipe(); }));
    const QByteArray firstFrame = m_port->frames().first();
    QVERIFY(encoder().swipe());
    QVERIFY(waitUntil([&] { return *bursts > 0; }));
    // A read result sends the read again at once; a failed write is
    // written again; a confirmed write waits for the operator.
    const bool again = reading || status == 'q';
    QVERIFY(waitUntil(
        [&] { return text(1011) == status1 && text(1012) == status2; }));
    if (again) QVERIFY(m_port->waitForFrames(2));
    const QList<QByteArray> sent = m_port->settledFrames(150);
    QCOMPARE(sent.size(), again ? 2 : 1);
    QCOMPARE(sent.last(), firstFrame);
    QCOMPARE(qobject_cast<MultiLineEdit*>(dlg().GetDlgItem(1007))->windowText(),
             QString::fromLatin1(field2));
    QCOMPARE(text(1015), count2);
    QCOMPARE(fileBytes(m_log->path()), record);
    if (!reading && status == 'p') {
      // Stray bytes after a confirmed card change nothing.
      encoder().sendNow({0x06});
      QTest::qWait(150);
      QCOMPARE(fileBytes(m_log->path()), record);
      QCOMPARE(dlg().m_nReplyStatus, 1);
    }
  }

  void eraseAndCoercivityFramesArePaced_data() {
    QTest::addColumn<int>("command");  // menu id, or -1002 / -1003 radios
    QTest::addColumn<int>("boxes");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<double>("minGapMs");
    const QByteArray reset("\x1b\x30");
    QTest::newRow("erase track 3")
        << 32778 << 4 << QList<QByteArray>{reset, bytes({0x1B, 0x63, 3})}
        << 50.0;
    QTest::newRow("erase tracks 1 and 2")
        << 32778 << 3 << QList<QByteArray>{reset, bytes({0x1B, 0x63, 4})}
        << 50.0;
    QTest::newRow("erase all")
        << 32789 << 7 << QList<QByteArray>{reset, bytes({0x1B, 0x63, 7})}
        << 50.0;
    QTest::newRow("erase nothing")
        << 32778 << 0 << QList<QByteArray>{reset} << 0.0;
    QTest::newRow("high coercivity")
        << -1002 << 0 << QList<QByteArray>{reset, bytes({0x1B, 0x78})} << 100.0;
    QTest::newRow("low coercivity")
        << -1003 << 0 << QList<QByteArray>{reset, bytes({0x1B, 0x79})} << 100.0;
  }
  void eraseAndCoercivityFramesArePaced() {
    QFETCH(int, command);
    QFETCH(int, boxes);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(double, minGapMs);
    FrameClock clock(encoder());
    fill(boxes, "", "", "");
    QElapsedTimer handler;
    handler.start();
    if (command < 0) {
      // A click, also on a choice already checked, sends again.
      auto* radio = qobject_cast<QRadioButton*>(dlg().GetDlgItem(-command));
      radio->setChecked(true);
      QTest::mouseClick(radio, Qt::LeftButton);
    } else {
      dlg().OnCommand(command);
    }
    // Coercivity pauses again after its frame, before it returns.
    if (command < 0) QVERIFY(handler.elapsed() >= 200);
    QVERIFY(m_port->waitForFrames(frames.size()));
    QCOMPARE(m_port->settledFrames(100), frames);
    // The frames are timed as the simulator's thread takes them, which a
    // loaded machine may delay a little; a missing pause would show as none.
    if (frames.size() > 1) QVERIFY(clock.gapMs(0) >= 0.8 * minGapMs);
    // With the port closed nothing goes out.
    dlg().OnClosePort();
    encoder().clearReceived();
    dlg().OnCommand(32778);
    dlg().OnHighCoercivity();
    dlg().OnLowCoercivity();
    QCOMPARE(m_port->settledFrames(50), QList<QByteArray>{});
  }

  void theSecondsDisplayEndsAWaitAtItsTwentyFirstTick() {
    fill(5, "1", "", "3");  // tracks 1 and 3 have no read command
    dlg().OnReadCard();
    QVERIFY(dlg().IsTimerRunning());
    for (int tick = 1; tick <= 20; ++tick) {
      dlg().OnTimer(0);
      QCOMPARE(text(1030),
               QString("Time:\n%1Sec").arg(tick, 2, 10, QChar('0')));
    }
    QCOMPARE(m_port->settledFrames(50), QList<QByteArray>{});
    dlg().OnTimer(0);
    QCOMPARE(text(1030), QString("Time:\n00Sec"));
    QCOMPARE(m_port->settledFrames(50), QList<QByteArray>{kResetFrameBytes});
    QVERIFY(!dlg().IsTimerRunning());
    // A reset while the timer runs ends the wait at the next real tick.
    encoder().clearReceived();
    dlg().SetTimerPeriodMs(30);
    dlg().OnReadCard();
    dlg().OnReset();
    QVERIFY(waitUntil([&] { return !dlg().IsTimerRunning(); }));
    QCOMPARE(text(1030), QString("Time:\n00Sec"));
    QCOMPARE(m_port->settledFrames(50),
             (QList<QByteArray>{kResetFrameBytes, kResetFrameBytes}));
  }

  void recordsHoldTheSelectedTracks_data() {
    QTest::addColumn<int>("boxes");
    QTest::addColumn<bool>("read");
    QTest::addColumn<QByteArray>("record");
    QTest::newRow("tracks 1 and 3, 53 bytes")
        << 5 << false
        << QByteArray(
               "Write operation\r\nTrack 1 data:ABC\r\nTrack 3 data:123\r\n");
    QTest::newRow("three tracks, track 2 empty")
        << 7 << true
        << QByteArray(
               "Read operation\r\nTrack 1 data:ABC\r\nTrack 2 data:\r\nTrack 3 "
               "data:123\r\n");
    QTest::newRow("no track") << 0 << true << QByteArray("Read operation\r\n");
  }
  void recordsHoldTheSelectedTracks() {
    QFETCH(int, boxes);
    QFETCH(bool, read);
    QFETCH(QByteArray, record);
    fill(boxes, "ABC", "", "123");
    dlg().AppendOperationRecord(read ? CEncodeDlg::Operation::Read
                                     : CEncodeDlg::Operation::Write);
    QCOMPARE(fileBytes(m_log->path()), record);
    QVERIFY(dlg().m_strLogRecord.isEmpty());
  }

  void savingMovesTheRecordsOrFailsWithoutLoss_data() {
    QTest::addColumn<QString>("name");     // relative to a fresh folder
    QTest::addColumn<QString>("written");  // empty: the save fails
    QTest::newRow("no extension") << "ops"
                                  << "ops.txt";
    QTest::newRow("txt") << "ops.txt"
                         << "ops.txt";
    QTest::newRow("upper case") << "OPS.TXT"
                                << "OPS.TXT.txt";
    QTest::newRow("folder named .txt") << "in.txt/ops"
                                       << "in.txt/ops";
    QTest::newRow("onto a folder") << "x.txt"
                                   << "";
    QTest::newRow("onto the running log") << "<log>"
                                          << "";
    QTest::newRow("missing folder") << "nowhere/ops"
                                    << "";
  }
  void savingMovesTheRecordsOrFailsWithoutLoss() {
    QFETCH(QString, name);
    QFETCH(QString, written);
    QTemporaryDir target;
    QDir(target.path()).mkdir("in.txt");
    QDir(target.path()).mkdir("x.txt");
    fill(2, "", "42", "");
    dlg().AppendOperationRecord(CEncodeDlg::Operation::Write);
    const QByteArray records = fileBytes(m_log->path());
    m_prompt->saveNames << (name == "<log>" ? m_log->path()
                                            : target.filePath(name));
    dlg().OnCommand(32791);
    if (written.isEmpty()) {
      QCOMPARE(m_prompt->messages.size(), 1);
      QCOMPARE(m_prompt->messages[0].text, QString("Save failed"));
      QCOMPARE(fileBytes(m_log->path()), records);
    } else {
      QVERIFY(m_prompt->messages.isEmpty());
      QCOMPARE(fileBytes(target.filePath(written)), records);
      QCOMPARE(fileBytes(m_log->path()), QByteArray());
    }
    // The log goes on either way, and stays this program's alone.
    dlg().AppendOperationRecord(CEncodeDlg::Operation::Write);
    QVERIFY(fileBytes(m_log->path()).endsWith("Track 2 data:42\r\n"));
    OperationLogFile second;
    QVERIFY(!openCreateAlways(second, m_log->path(), nullptr));
    // Cancelling does nothing.
    dlg().OnCommand(32773);
    QCOMPARE(m_prompt->messages.size(), written.isEmpty() ? 1 : 0);
  }

  void savingIntoAFolderWithoutWriteAccessFails() {
    if (::geteuid() == 0) {
      // The "nonroot" test runs this as an ordinary user: it must not skip.
      if (qEnvironmentVariableIsSet("QUILLON_UNPRIVILEGED_RUN"))
        QFAIL("still root");
      QSKIP("root may write anywhere (the nonroot test runs this)");
    }
    QTemporaryDir target;
    QVERIFY(QDir(target.path()).mkdir("locked"));
    QVERIFY(QFile::setPermissions(target.filePath("locked"),
                                  QFile::ReadOwner | QFile::ExeOwner));
    fill(2, "", "42", "");
    dlg().AppendOperationRecord(CEncodeDlg::Operation::Write);
    const QByteArray records = fileBytes(m_log->path());
    m_prompt->saveNames << target.filePath("locked/ops");
    dlg().OnCommand(32773);
    QCOMPARE(m_prompt->messages.size(), 1);
    QCOMPARE(m_prompt->messages[0].text, QString("Save failed"));
    QCOMPARE(fileBytes(m_log->path()), records);
    QVERIFY(QDir(target.filePath("locked")).isEmpty());
  }

  void densityGoesOutOnOkOnly_data() {
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<QList<QByteArray>>("frames");
    const QByteArray h("\x1bH"), l("\x1bL");
    QTest::newRow("ok alone is 210")
        << QList<int>{} << true << true << QList<QByteArray>{h};
    QTest::newRow("75 then 210")
        << QList<int>{1002, 1003} << true << true << QList<QByteArray>{h};
    QTest::newRow("210 then 75")
        << QList<int>{1003, 1002} << true << true << QList<QByteArray>{l};
    QTest::newRow("cancel")
        << QList<int>{1002} << false << true << QList<QByteArray>{};
    QTest::newRow("port closed")
        << QList<int>{1002} << true << false << QList<QByteArray>{};
  }
  void densityGoesOutOnOkOnly() {
    QFETCH(QList<int>, clicks);
    QFETCH(bool, ok);
    QFETCH(bool, portOpen);
    QFETCH(QList<QByteArray>, frames);
    if (!portOpen) dlg().OnClosePort();
    encoder().clearReceived();
    for (int round = 0; round < 2; ++round) {
      bool bothUnselected = false;
      answerNextModal<CDensityDlg>([&](CDensityDlg* density) {
        bothUnselected = !qobject_cast<QRadioButton*>(density->GetDlgItem(1002))
                              ->isChecked() &&
                         !qobject_cast<QRadioButton*>(density->GetDlgItem(1003))
                              ->isChecked();
        for (int id : clicks)
          QTest::mouseClick(density->GetDlgItem(id), Qt::LeftButton);
        QTest::mouseClick(density->GetDlgItem(ok ? 1 : 2), Qt::LeftButton);
      });
      dlg().OnCommand(32781);
      QVERIFY(bothUnselected);  // every time, whatever was chosen before
    }
    QCOMPARE(m_port->settledFrames(100), frames + frames);
    QVERIFY(m_prompt->messages.isEmpty());
  }

  void fiftyNumberedCardsAreWrittenOnceEach() {
    encoder().setSwipeDelay(std::chrono::milliseconds(0));
    fill(2, "", "0000000001", "");
    dlg().m_bAutoInc2 = TRUE;
    dlg().UpdateData(false);
    for (int card = 1; card <= 50; ++card) {
      dlg().OnCommand(32788);
      QVERIFY(waitUntil([&] { return records("Write operation") == card; }));
    }
    const std::vector<sim::WrittenCard> written = encoder().writtenCards();
    QCOMPARE(written.size(), std::size_t(50));
    for (int card = 1; card <= 50; ++card) {
      QCOMPARE(QByteArray::fromStdString(written[card - 1].card.track2),
               QByteArray::number(card).rightJustified(10, '0'));
    }
    QCOMPARE(records("Track 2 data:"), 50);
  }
};

QTEST_MAIN(CardOperationsTest)
#include "card_operations_test.moc"
