// Track data files in the main dialog: the Open buttons through the file
// dialog, files that cannot be used, and batches of cards written one
// line per card against the simulated encoder on a real pseudo-terminal.
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "app_test_support.h"
#include "encode_dlg.h"
#include "multi_line_edit.h"

namespace {

constexpr int kOpenButton[3] = {1029, 1024, 1028};
constexpr int kEdit[3] = {1006, 1007, 1008};

int openDescriptors() {
  return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::Files).size());
}

}  // namespace

class DataFilesTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<PrivateLogPath> m_log;
  std::unique_ptr<RecordingPrompt> m_prompt;
  std::unique_ptr<CEncodeDlg> m_dlg;
  std::unique_ptr<QTemporaryDir> m_files;

  template <typename T>
  T* item(int id) {
    return qobject_cast<T*>(m_dlg->GetDlgItem(id));
  }
  QString fieldText(int track) {
    return item<MultiLineEdit>(kEdit[track - 1])->toPlainText();
  }
  QString counter(int track) { return item<QLabel>(1013 + track)->text(); }
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
  QString makeFile(const QString& name, const QByteArray& content) {
    QFile out(m_files->filePath(name));
    if (!out.open(QIODevice::WriteOnly)) return {};
    out.write(content);
    return out.fileName();
  }
  // The operator clicks a track's Open button and chooses `chosen`
  // (empty: cancels).
  void open(int track, const QString& chosen) {
    m_prompt->openNames << chosen;
    QTest::mouseClick(item<QPushButton>(kOpenButton[track - 1]),
                      Qt::LeftButton);
  }

 private slots:
  void init() {
    m_log = std::make_unique<PrivateLogPath>();
    m_prompt = std::make_unique<RecordingPrompt>();
    m_files = std::make_unique<QTemporaryDir>();
    m_dlg = std::make_unique<CEncodeDlg>();
    m_dlg->Create();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
  }
  void cleanup() {
    m_dlg.reset();
    m_files.reset();
    m_prompt.reset();
    m_log.reset();
  }

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
#include "test_data_files.moc"
