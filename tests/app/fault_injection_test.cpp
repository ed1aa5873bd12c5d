// Faults from outside, on a real pseudo-terminal with the simulated
// encoder: the device unplugged in the middle of an operation, a babbling
// device, a full disk under the operation log, and data files that change
// or are not files while a batch runs. The encoder's record of written
// cards and the operation log judge what was kept.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>
#include <thread>

#include "main_dialog_test.h"

Q_DECLARE_METATYPE(QList<int>)

namespace {

constexpr int kOpenPort = 32771;
constexpr int kWriteCard = 32775;
constexpr int kReadCard = 32776;

QStringList describe(const std::vector<sim::WrittenCard>& cards) {
  QStringList result;
  for (const sim::WrittenCard& written : cards) {
    result << QString::fromStdString((written.succeeded ? "ok:" : "failed:") +
                                     written.card.track2);
  }
  return result;
}

QByteArray readRecord(const QByteArray& track1) {
  return "Read operation\r\nTrack 1 data:" + track1 + "\r\n";
}

// A message box keeps the event loop turning while it is open, as a modal
// box does; this one remembers how deeply boxes were nested, and how many
// opened before the card's record was on storage.
class ModalPrompt : public RecordingPrompt {
 public:
  int depth = 0;
  int deepest = 0;
  const OperationLogFile* log = nullptr;
  int beforeTheRecordWasFlushed = 0;
  int messageBox(QWidget* parent, const QString& text,
                 const QString& caption) override {
    if (log != nullptr && log->hasUnflushedRecords()) {
      ++beforeTheRecordWasFlushed;
    }
    deepest = std::max(deepest, ++depth);
    RecordingPrompt::messageBox(parent, text, caption);
    QTest::qWait(30);
    --depth;
    return kIdOk;
  }
};

}  // namespace

class FaultInjectionTest : public MainDialogTest<ModalPrompt> {
  Q_OBJECT

 private:
  QByteArray log() { return fileBytes(m_log->path()); }

  void select(int track, const QByteArray& text, bool fromFile = false) {
    dlg().m_bTrack1 = track == 1 ? TRUE : FALSE;
    dlg().m_bTrack2 = track == 2 ? TRUE : FALSE;
    dlg().m_bTrack3 = FALSE;
    (track == 1 ? dlg().m_strTrack1 : dlg().m_strTrack2) = text;
    dlg().m_bFromFile2 = fromFile ? TRUE : FALSE;
    dlg().UpdateData(false);
  }
  // Swipes the card the encoder waits for and waits for its record.
  bool swipeWritten() {
    const std::size_t before = encoder().writtenCards().size();
    if (!waitUntil([&] { return encoder().waitingForSwipe(); }, 800))
      return false;
    encoder().swipe();
    return waitUntil([&] { return encoder().writtenCards().size() > before; });
  }
  // Swipes cards until one more read record is in the log (at most
  // `swipes` cards: a reply mixed with noise is dropped as a failed read).
  bool swipeUntilRead(int swipes = 3) {
    const qsizetype before = log().count("Read operation");
    for (int i = 0; i < swipes; ++i) {
      if (!waitUntil([&] { return encoder().waitingForSwipe(); })) return false;
      encoder().swipe();
      if (waitUntil([&] { return log().count("Read operation") > before; },
                    500))
        return true;
    }
    return false;
  }
  void attach(int track, const QString& path) {
    m_prompt->openNames << path;
    dlg().OnOpenDataFile(track);
  }

 private slots:
  void init() {
    openOnSimulatedCom1();
    if (m_dlg) m_prompt->log = &dlg().m_logFile;
  }
  void cleanup() {
    const int early = m_prompt ? m_prompt->beforeTheRecordWasFlushed : 0;
    if (m_prompt) m_prompt->log = nullptr;
    tearDown();
    // Whatever box a test opened, the records were on storage before it.
    QCOMPARE(early, 0);
  }

  // The device goes away while a card is awaited: one message naming the
  // port, the wait ends, and once the device is back on a new line the
  // operator opens the port again and goes on where the work stood.
  void anUnpluggedDeviceEndsTheWaitAndComesBack_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QByteArray>("record");  // the log afterwards
    const QByteArray write = "Write operation\r\nTrack 2 data:";
    QTest::newRow("read") << "read" << QStringList{} << readRecord("OK1");
    QTest::newRow("write") << "write" << QStringList{"ok:77"}
                           << write + "77\r\n";
    // Line 2's card was not confirmed: it is written after the reopen.
    QTest::newRow("data-file batch")
        << "batch" << QStringList{"ok:11", "ok:22", "ok:33"}
        << write + "11\r\n" + write + "22\r\n" + write + "33\r\n";
  }
  void anUnpluggedDeviceEndsTheWaitAndComesBack() {
    QFETCH(QString, operation);
    QFETCH(QStringList, written);
    QFETCH(QByteArray, record);
    encoder().loadDeck({{"OK1", "", ""}});
    const int command = operation == "read" ? kReadCard : kWriteCard;
    if (operation == "read") select(1, "");
    if (operation == "write") select(2, "77");
    if (operation == "batch") {
      attach(2, makeFile("lines.txt", "11\n22\n33\n"));
      select(2, dlg().m_strTrack2, true);
    }
    dlg().OnCommand(command);
    if (operation == "batch") QVERIFY(swipeWritten());
    QVERIFY(waitUntil([&] { return encoder().waitingForSwipe(); }));

    const QString oldPath = m_port->path();
    encoder().unplug();
    QVERIFY(waitUntil([&] { return !m_prompt->messages.isEmpty(); }));
    QTest::qWait(300);
    QCOMPARE(m_prompt->messages.size(), 1);
    QVERIFY2(m_prompt->messages[0].text.contains(oldPath),
             qPrintable(m_prompt->messages[0].text));
    QVERIFY(!dlg().m_comm->GetPortOpen());
    QVERIFY(!dlg().IsTimerRunning());

    QVERIFY(encoder().start());
    qputenv("ENCODER_COM1", QByteArray::fromStdString(encoder().slavePath()));
    dlg().OnCommand(kOpenPort);
    QVERIFY(dlg().m_comm->GetPortOpen());
    dlg().OnCommand(command);
    if (operation == "read") {
      QVERIFY(swipeUntilRead(1));
    } else {
      while (swipeWritten()) {
      }
    }
    QTest::qWait(100);
    QCOMPARE(describe(encoder().writtenCards()), written);
    QCOMPARE(log(), record);
    QCOMPARE(m_prompt->messages.size(), 1);
    QCOMPARE(m_prompt->deepest, 1);
  }

  // Noise while a card is read: no record from it, the texts never hold
  // more than a reply may, at most one message box at a time, and the
  // next good card is read and logged once.
  void aBabblingDeviceLeavesNoRecordAndTheNextCardReads_data() {
    QTest::addColumn<QByteArray>("noise");   // sent unasked
    QTest::addColumn<QByteArray>("reply");   // in place of the next reply
    QTest::addColumn<QList<int>>("bursts");  // events of the reply
    QTest::addColumn<QByteArray>("first");   // a record of the reply itself
    QTest::addColumn<int>("boxes");          // message boxes shown
    QByteArray random(1 << 20, '\0');
    QRandomGenerator generator(20261207);
    for (char& byte : random) byte = static_cast<char>(generator.bounded(256));
    const QByteArray end("?\x1c\x1br");
    const QList<int> whole;
    QTest::newRow("1 MB of random bytes")
        << random << QByteArray() << whole << QByteArray() << 0;
    QTest::newRow("a reply in one-byte events")
        << QByteArray() << "\x1bsBABC" + end + "p" << QList<int>(10, 1)
        << QByteArray("ABC") << 0;
    // Each event ends with a status letter that is track data.
    QTest::newRow("status letters in the track data")
        << QByteArray() << "\x1bsBApBqBr" + end + "p" << QList<int>{5, 2, 2}
        << QByteArray() << 0;
    QTest::newRow("no FS") << QByteArray() << QByteArray("\x1bsBABC?\x1brp")
                           << whole << QByteArray() << 0;
    // Whole: read and logged; the field's check says so once.
    QTest::newRow("a track longer than its field")
        << QByteArray() << "\x1bsB" + QByteArray(77, 'X') + end + "p" << whole
        << QByteArray(77, 'X') << 1;
    QTest::newRow("ten times the largest reply")
        << QByteArray() << "\x1bsB" + QByteArray(3993, 'X') + end + "p" << whole
        << QByteArray() << 0;
    QTest::newRow("ten times the largest reply, no FS")
        << QByteArray() << "\x1bsB" + QByteArray(3995, 'X') + "p" << whole
        << QByteArray() << 0;
  }
  void aBabblingDeviceLeavesNoRecordAndTheNextCardReads() {
    QFETCH(QByteArray, noise);
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, bursts);
    QFETCH(QByteArray, first);
    QFETCH(int, boxes);
    // The replaced reply uses up a card; a reply mixed with noise is
    // dropped, and the card is swiped again.
    const sim::Card good{"GOOD1", "", ""};
    if (reply.isEmpty()) {
      encoder().loadDeck({good, good, good});
    } else {
      encoder().loadDeck({{"USED", "", ""}, good, good, good});
    }
    select(1, "");
    dlg().OnCommand(kReadCard);
    QVERIFY(waitUntil([&] { return encoder().waitingForSwipe(); }));
    if (!reply.isEmpty()) {
      encoder().replaceNextReply(sim::Bytes(reply.begin(), reply.end()));
      if (!bursts.isEmpty()) {
        encoder().splitNextReply(
            std::vector<std::size_t>(bursts.begin(), bursts.end()),
            std::chrono::milliseconds(50));
      }
      encoder().swipe();
    }
    for (qsizetype at = 0; at < noise.size(); at += 4096) {
      const QByteArray piece = noise.mid(at, 4096);
      encoder().sendNow(sim::Bytes(piece.begin(), piece.end()));
    }
    // The program keeps turning its event loop through the noise.
    for (int i = 0; i < 40; ++i) {
      QTest::qWait(25);
      QVERIFY(dlg().m_strTrack1.size() <= 400);
    }
    const QByteArray before = first.isEmpty() ? "" : readRecord(first);
    QCOMPARE(log(), before);
    QVERIFY(swipeUntilRead());
    QCOMPARE(log(), before + readRecord("GOOD1"));
    QCOMPARE(m_prompt->messages.size(), boxes);
    QVERIFY(m_prompt->deepest <= 1);
  }

  // The file size limit stands in for a full disk.
  void aFullDiskKeepsWholeRecordsAndOldSaves_data() {
    QTest::addColumn<bool>("save");
    QTest::newRow("a card's record") << false;
    QTest::newRow("a save over an existing file") << true;
  }
  void aFullDiskKeepsWholeRecordsAndOldSaves() {
    QFETCH(bool, save);
    encoder().loadDeck({{"AAA1", "", ""}, {"BBB2", "", ""}, {"CCC3", "", ""}});
    select(1, "");
    dlg().OnCommand(kReadCard);
    QVERIFY(swipeUntilRead(1));
    const QString target = m_files->filePath("saved.txt");
    const QByteArray oldTarget("an earlier save\r\n");
    makeFile("saved.txt", oldTarget);
    QByteArray expected = readRecord("AAA1");
    if (save) {
      // Too small for a copy of the log: the save fails, the log goes on.
      FileSizeLimit limit(static_cast<rlim_t>(log().size() - 1));
      m_prompt->saveNames << target;
      dlg().SaveToOperatorLog();
    } else {
      // Room for part of the next record only.
      FileSizeLimit limit(static_cast<rlim_t>(log().size() + 5));
      QVERIFY(waitUntil([&] { return encoder().waitingForSwipe(); }));
      encoder().swipe();
      QVERIFY(waitUntil([&] { return m_prompt->messages.size() == 1; }));
      QVERIFY(waitUntil([&] { return encoder().waitingForSwipe(); }));
    }
    if (save) {
      QVERIFY(swipeUntilRead(1));
      expected += readRecord("BBB2");
    }
    QCOMPARE(log(), expected);
    QVERIFY(swipeUntilRead(1));
    QCOMPARE(log(), expected + readRecord("CCC3"));
    QCOMPARE(m_prompt->messages.size(), 1);
    const QString message = m_prompt->messages[0].text;
    QVERIFY2(save ? message == "Save failed" : message.contains(m_log->path()),
             qPrintable(message));
    QCOMPARE(fileBytes(target), oldTarget);
    QCOMPARE(QDir(m_files->path()).entryList(QDir::Files),
             QStringList{"saved.txt"});
  }

  // A data file changed under a running batch of four lines, after the
  // second card was confirmed.
  void aDataFileChangedDuringABatch_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QString>("message");  // empty: none
    const QStringList all{"ok:11", "ok:22", "ok:33", "ok:44"};
    // Line 3 was loaded before the cut; line 4 is no longer in the file.
    QTest::newRow("truncated")
        << "truncate" << QStringList{"ok:11", "ok:22", "ok:33"} << "line 4";
    QTest::newRow("deleted: read on from the open file")
        << "delete" << all << "";
    QTest::newRow("replaced: the old file goes on") << "replace" << all << "";
    QTest::newRow("grown at its end: the new line is taken")
        << "append" << all + QStringList{"ok:55"} << "";
    // Longer lines written over the file: line 3 was loaded before, and no
    // card is made of what was read of the old contents.
    QTest::newRow("rewritten in place")
        << "rewrite" << QStringList{"ok:11", "ok:22", "ok:33"} << "track 2";
    // The same size, and the old modification time put back (cp -p,
    // rsync -t --inplace): the change time still moves.
    QTest::newRow("rewritten, same size and times")
        << "rewrite keeping times" << QStringList{"ok:11", "ok:22", "ok:33"}
        << "line 4";
    QTest::newRow("touched: the bytes are the same") << "touch" << all << "";
    // The file ended in "3" without a line end when line 3 was taken; the
    // rest of that line came later: the card of line 3 holds only part.
    QTest::newRow("its last line finished after it was taken")
        << "finish the last line" << QStringList{"ok:11", "ok:22", "ok:3"}
        << "line 3";
  }
  void aDataFileChangedDuringABatch() {
    QFETCH(QString, change);
    QFETCH(QStringList, written);
    QFETCH(QString, message);
    // CR LF line ends: the bytes taken are compared with their ends.
    const bool unended = change == "finish the last line";
    const QString path = makeFile(
        "lines.txt", unended ? "11\r\n22\r\n3" : "11\r\n22\r\n33\r\n44\r\n");
    attach(2, path);
    select(2, dlg().m_strTrack2, true);
    dlg().OnCommand(kWriteCard);
    QVERIFY(swipeWritten());
    QVERIFY(swipeWritten());
    // Line 3 is taken once the write of its card arrives.
    QVERIFY(waitUntil([&] { return encoder().waitingForSwipe(); }));
    if (change == "truncate") QVERIFY(::truncate(qPrintable(path), 8) == 0);
    if (change == "delete") QVERIFY(QFile::remove(path));
    if (change == "replace") {
      const QString other = makeFile("other.txt", "aa\nbb\ncc\ndd\n");
      QVERIFY(::rename(qPrintable(other), qPrintable(path)) == 0);
    }
    if (change == "append" || change == "rewrite") {
      QFile file(path);
      QVERIFY(file.open(change == "append" ? QIODevice::Append
                                           : QIODevice::ReadWrite));
      file.write(change == "append" ? "55\r\n"
                                    : "111\r\n222\r\n333\r\n444\r\n");
    }
    if (change == "rewrite keeping times") {
      struct stat before {};
      QVERIFY(::stat(qPrintable(path), &before) == 0);
      QFile file(path);
      QVERIFY(file.open(QIODevice::ReadWrite));
      QCOMPARE(file.write("111\r\n2222\r\n66666"), qint64{16});
      file.close();
      const timespec times[] = {before.st_atim, before.st_mtim};
      QVERIFY(::utimensat(AT_FDCWD, qPrintable(path), times, 0) == 0);
    }
    if (change == "touch") {
      QVERIFY(::utimensat(AT_FDCWD, qPrintable(path), nullptr, 0) == 0);
    }
    if (unended) {
      QFile file(path);
      QVERIFY(file.open(QIODevice::Append));
      file.write("3\r\n44\r\n");
    }
    while (swipeWritten()) {
    }
    // As one text: a failure shows the cards, not only their count.
    QCOMPARE(describe(encoder().writtenCards()).join(" "), written.join(" "));
    QCOMPARE(log().count("Write operation"), written.size());
    QVERIFY(!dlg().m_file2.isOpen());
    if (message.isEmpty()) {
      QVERIFY(m_prompt->messages.isEmpty());
    } else {
      QCOMPARE(m_prompt->messages.size(), 1);
      QVERIFY2(m_prompt->messages[0].text.contains(path) &&
                   m_prompt->messages[0].text.contains(message),
               qPrintable(m_prompt->messages[0].text));
    }
  }

  // Things that are not line files are refused when attached, without
  // waiting for a writer or reading a gigabyte (a folder: in openFailures
  // of the data files test).
  void aDataFileThatIsNoTextFileIsRefused_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a FIFO") << "fifo"
                            << "not a regular file";
    QTest::newRow("1 GB without a line end") << "sparse"
                                             << "Line 1";
  }
  void aDataFileThatIsNoTextFileIsRefused() {
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    const QString path = m_files->filePath("data");
    if (kind == "fifo") QVERIFY(::mkfifo(qPrintable(path), 0600) == 0);
    if (kind == "sparse") {
      QFile sparse(path);
      QVERIFY(sparse.open(QIODevice::WriteOnly));
      QVERIFY(::ftruncate(sparse.handle(), off_t{1} << 30) == 0);
    }
    // Should the open wait for a writer, one comes after two seconds.
    std::thread writer([&] {
      if (kind != "fifo") return;
      std::this_thread::sleep_for(std::chrono::seconds(2));
      const int fd = ::open(qPrintable(path), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    });
    select(2, "99");
    attach(2, path);
    writer.join();
    QCOMPARE(m_prompt->messages.size(), 1);
    QVERIFY2(m_prompt->messages[0].text.contains(reason),
             qPrintable(m_prompt->messages[0].text));
    QVERIFY(dlg().m_strFile2.isEmpty());
    QVERIFY(!dlg().m_file2.isOpen());
    QCOMPARE(dlg().m_strTrack2, QByteArray("99"));
  }
};

QTEST_MAIN(FaultInjectionTest)
#include "fault_injection_test.moc"
