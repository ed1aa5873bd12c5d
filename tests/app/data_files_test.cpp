// Track data files in the main dialog: the Open buttons through the file
// dialog, files that cannot be used, and batches of cards written one
// line per card against the simulated encoder on a real pseudo-terminal.
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "main_dialog_test.h"

Q_DECLARE_METATYPE(QList<int>)

namespace {

constexpr int kOpenButton[3] = {1029, 1024, 1028};
constexpr int kEdit[3] = {1006, 1007, 1008};
constexpr int kTrackCheck[3] = {1001, 1004, 1005};
constexpr int kFromFileCheck[3] = {1018, 1022, 1025};
constexpr int kOpenPort = 32771;
constexpr int kWriteCard = 32775;

// A written card as "ok:track1|track2|track3" or "failed:...".
QStringList describe(const std::vector<sim::WrittenCard>& cards) {
  QStringList result;
  for (const sim::WrittenCard& written : cards) {
    result << QString::fromStdString(
        (written.succeeded ? "ok:" : "failed:") + written.card.track1 + "|" +
        written.card.track2 + "|" + written.card.track3);
  }
  return result;
}

QByteArray numberedLines(int count) {
  QByteArray lines;
  for (int i = 1; i <= count; ++i) lines += QByteArray::number(1000 + i) + "\n";
  return lines;
}

int openDescriptors() {
  return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::Files).size());
}

}  // namespace

class DataFilesTest : public MainDialogTest<RecordingPrompt> {
  Q_OBJECT

 private:
  QString fieldText(int track) {
    return item<MultiLineEdit>(kEdit[track - 1])->toPlainText();
  }
  QString path(int track) {
    return track == 1   ? m_dlg->m_strFile1
           : track == 2 ? m_dlg->m_strFile2
                        : m_dlg->m_strFile3;
  }
  QFile& file(int track) {
    return track == 1   ? m_dlg->m_file1
           : track == 2 ? m_dlg->m_file2
                        : m_dlg->m_file3;
  }
  QByteArray text(int track) {
    return track == 1   ? m_dlg->m_strTrack1
           : track == 2 ? m_dlg->m_strTrack2
                        : m_dlg->m_strTrack3;
  }
  // The operator clicks a track's Open button and chooses `chosen`
  // (empty: cancels).
  void open(int track, const QString& chosen) {
    m_prompt->openNames << chosen;
    QTest::mouseClick(item<QPushButton>(kOpenButton[track - 1]),
                      Qt::LeftButton);
  }

 private slots:
  void init() { showWithoutPort(); }
  void cleanup() { tearDown(); }

  void openLoadsTheFirstLine_data() {
    QTest::addColumn<int>("track");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("count");
    QTest::newRow("LF") << 2 << QByteArray("1234=5\n678\n") << "1234=5"
                        << "6 bytes";
    QTest::newRow("CR LF") << 2 << QByteArray("1234=5\r\n678\r\n") << "1234=5"
                           << "6 bytes";
    QTest::newRow("one character, no LF") << 3 << QByteArray("7") << "7"
                                          << "1 bytes";
    QTest::newRow("empty file") << 1 << QByteArray() << ""
                                << "0 bytes";
    // Longer than the operator may type: loaded whole all the same.
    QTest::newRow("over the field's limit") << 2 << QByteArray(300, '4') + "\n"
                                            << QString(300, '4') << "300 bytes";
    // The filter is for typing only; Latin-1 bytes stay themselves.
    QTest::newRow("letters on track 3")
        << 3 << QByteArray("AB c\xE9\n") << "AB c\u00e9"
        << "5 bytes";
  }
  void openLoadsTheFirstLine() {
    QFETCH(int, track);
    QFETCH(QByteArray, content);
    QFETCH(QString, shown);
    QFETCH(QString, count);
    const QString name = makeFile("cards.txt", content);
    open(track, name);
    QCOMPARE(path(track), name);
    QVERIFY(file(track).isOpen());
    QCOMPARE(fieldText(track), shown);
    QCOMPARE(text(track), shown.toLatin1());
    QCOMPARE(counter(track), count);
    QVERIFY(m_prompt->messages.isEmpty());
  }

  void openFailures_data() {
    QTest::addColumn<QByteArray>("content");  // empty: not made
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QByteArray() << "none.txt"
                             << "No such file or directory";
    QTest::newRow("a folder") << QByteArray() << "."
                              << "Is a directory";
    QTest::newRow("first line too long")
        << QByteArray(64 * 1024 + 1, '5') << "big.bin"
        << "Line 1";
    QTest::newRow("second line too long")
        << "12\n" + QByteArray(100000, '\0') << "big.bin"
        << "";
  }
  void openFailures() {
    QFETCH(QByteArray, content);
    QFETCH(QString, chosen);
    QFETCH(QString, reason);
    const QString name = content.isEmpty() ? m_files->filePath(chosen)
                                           : makeFile(chosen, content);
    QTest::keyClicks(item<MultiLineEdit>(1007), "99");
    open(2, name);
    if (reason.isEmpty()) {
      // The bad line is found when the batch reaches it.
      QCOMPARE(fieldText(2), QString("12"));
      m_dlg->AdvanceDataFiles();
      reason = "Line 2";
      QCOMPARE(fieldText(2), QString("12"));
    } else {
      QCOMPARE(fieldText(2), QString("99"));
      QCOMPARE(counter(2), QString("2 byte"));
    }
    QCOMPARE(m_prompt->messages.size(), 1);
    const QString message = m_prompt->messages[0].text;
    QVERIFY2(message.contains(QDir::cleanPath(name)) || message.contains(name),
             qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    QCOMPARE(path(2), QString());
    QVERIFY(!file(2).isOpen());
  }

  void cancelChangesNothing() {
    const QString name = makeFile("cards.txt", "11\n22\n");
    open(3, name);
    QTest::keyClick(item<MultiLineEdit>(1008), Qt::Key_End);
    QTest::keyClicks(item<MultiLineEdit>(1008), "3");
    open(3, QString());
    QCOMPARE(path(3), name);
    QCOMPARE(fieldText(3), QString("113"));
    // The controls were taken before the file dialog showed.
    QCOMPARE(text(3), QByteArray("113"));
    QVERIFY(file(3).isOpen());
    QVERIFY(m_prompt->messages.isEmpty());
  }

  void aNewFileClosesThePreviousOne() {
    const QString first = makeFile("a.txt", "1\n2\n");
    const QString second = makeFile("b.txt", "3\n4\n");
    open(2, first);
    const int descriptors = openDescriptors();
    for (int i = 0; i < 50; ++i) open(2, i % 2 == 0 ? second : first);
    QCOMPARE(openDescriptors(), descriptors);
    QCOMPARE(path(2), first);
    QCOMPARE(fieldText(2), QString("1"));
    // Unchecking Read From File detaches nothing.
    QTest::mouseClick(item<QCheckBox>(1022), Qt::LeftButton);
    QTest::mouseClick(item<QCheckBox>(1022), Qt::LeftButton);
    QCOMPARE(path(2), first);
    QVERIFY(file(2).isOpen());
  }

  // Batches against the simulated encoder, which swipes at once: the
  // operator attaches files, checks boxes and writes the first card; each
  // confirmed write loads the next lines and writes the next card.
  void batches_data() {
    QTest::addColumn<QByteArray>("file1");
    QTest::addColumn<QByteArray>("file2");
    QTest::addColumn<QByteArray>("file3");
    QTest::addColumn<QList<int>>("tracks");
    QTest::addColumn<QList<int>>("fromFile");
    QTest::addColumn<int>("failures");  // the first cards fail
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<int>("endedTrack");  // named in a message; 0: none
    QTest::newRow("three lines on track 3")
        << QByteArray() << QByteArray() << QByteArray("111\n222\n333\n")
        << QList<int>{3} << QList<int>{3} << 0
        << QStringList{"ok:||111", "ok:||222", "ok:||333"} << 0;
    QTest::newRow("tracks 2 and 3, equal files")
        << QByteArray() << QByteArray("21\r\n22\r\n") << QByteArray("31\n32")
        << QList<int>{2, 3} << QList<int>{2} << 0
        << QStringList{"ok:|21|31", "ok:|22|32"} << 0;
    QTest::newRow("tracks 2 and 3, track 3 shorter")
        << QByteArray() << QByteArray("21\n22\n23\n") << QByteArray("31\n32\n")
        << QList<int>{2, 3} << QList<int>{2, 3} << 0
        << QStringList{"ok:|21|31", "ok:|22|32"} << 3;
    QTest::newRow("a failed card is written again")
        << QByteArray() << QByteArray("10\n20\n30\n") << QByteArray()
        << QList<int>{2} << QList<int>{2} << 1
        << QStringList{"failed:|10|", "ok:|10|", "ok:|20|", "ok:|30|"} << 0;
    QTest::newRow("track 1's file follows track 2's box")
        << QByteArray("A1\nB2\n") << QByteArray() << QByteArray()
        << QList<int>{1} << QList<int>{2} << 0
        << QStringList{"ok:A1||", "ok:B2||"} << 0;
    QStringList hundred;
    for (int i = 1; i <= 100; ++i) hundred << QString("ok:|%1|").arg(1000 + i);
    QTest::newRow("100 lines on track 2")
        << QByteArray() << numberedLines(100) << QByteArray() << QList<int>{2}
        << QList<int>{2} << 0 << hundred << 0;
  }
  void batches() {
    QFETCH(QByteArray, file1);
    QFETCH(QByteArray, file2);
    QFETCH(QByteArray, file3);
    QFETCH(QList<int>, tracks);
    QFETCH(QList<int>, fromFile);
    QFETCH(int, failures);
    QFETCH(QStringList, written);
    QFETCH(int, endedTrack);
    SimulatedPort com1(1);
    QVERIFY(com1.started());
    com1.encoder().setSwipeDelay(std::chrono::milliseconds(0));
    if (failures > 0) com1.encoder().failNext(failures);

    const QByteArray contents[3] = {file1, file2, file3};
    for (int track = 1; track <= 3; ++track) {
      if (contents[track - 1].isEmpty()) continue;
      open(track,
           makeFile(QString("track%1.txt").arg(track), contents[track - 1]));
    }
    for (const int track : tracks) {
      QTest::mouseClick(item<QCheckBox>(kTrackCheck[track - 1]),
                        Qt::LeftButton);
    }
    for (const int track : fromFile) {
      QTest::mouseClick(item<QCheckBox>(kFromFileCheck[track - 1]),
                        Qt::LeftButton);
    }
    m_dlg->OnCommand(kOpenPort);
    m_dlg->OnCommand(kWriteCard);

    // Until the cards expected are written or none came for 3 s.
    QElapsedTimer idle;
    idle.start();
    for (std::size_t count = 0;
         count < static_cast<std::size_t>(written.size()) &&
         idle.elapsed() < 3000;) {
      QTest::qWait(20);
      const std::size_t now = com1.encoder().writtenCards().size();
      if (now != count) idle.restart();
      count = now;
    }
    QTest::qWait(300);  // no card may follow the last line
    QCOMPARE(describe(com1.encoder().writtenCards()), written);
    // One write record in the operation log per confirmed card.
    QFile log(m_log->path());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().count("Write operation"),
             written.filter(QRegularExpression("^ok:")).size());
    for (int track = 1; track <= 3; ++track) {
      QCOMPARE(path(track), QString());
      QVERIFY(!file(track).isOpen());
    }
    if (endedTrack == 0) {
      QVERIFY(m_prompt->messages.isEmpty());
    } else {
      QCOMPARE(m_prompt->messages.size(), 1);
      QVERIFY(m_prompt->messages[0].text.contains(
          QString("track %1").arg(endedTrack)));
    }
  }

  void theEndOfTheFileDetachesIt() {
    const QString name = makeFile("one.txt", "42\n");
    open(3, name);
    const int descriptors = openDescriptors();
    m_dlg->AdvanceDataFiles();
    QCOMPARE(path(3), QString());
    QVERIFY(!file(3).isOpen());
    QCOMPARE(openDescriptors(), descriptors - 1);
    QCOMPARE(text(3), QByteArray());
    // The field keeps the last line until the dialog is next refreshed.
    QCOMPARE(fieldText(3), QString("42"));
    QVERIFY(m_prompt->messages.isEmpty());
    // With nothing attached, advancing does nothing.
    m_dlg->AdvanceDataFiles();
    QCOMPARE(fieldText(3), QString("42"));
  }
};

QTEST_MAIN(DataFilesTest)
#include "data_files_test.moc"
