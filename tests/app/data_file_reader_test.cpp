// The data-file line reader on its own: line ends, bytes kept as they are,
// the bound on a line, and files that cannot be opened or read.
#include <fcntl.h>

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>

#include "data_file_reader.h"

namespace {

QString kindName(DataFileLine::Kind kind) {
  switch (kind) {
    case DataFileLine::Kind::Line: return "line";
    case DataFileLine::Kind::End: return "end";
    case DataFileLine::Kind::TooLong: return "too long";
    case DataFileLine::Kind::Failed: return "failed";
  }
  return {};
}

// Every result until the first that is not a line, as "line:<text>"
// entries and a last "end", "too long" or "failed".
QStringList readAll(QIODevice& device, qsizetype maxBytes) {
  QStringList results;
  for (int guard = 0; guard < 100; ++guard) {
    const DataFileLine line = readDataFileLine(device, maxBytes);
    if (line.kind != DataFileLine::Kind::Line) {
      results << kindName(line.kind);
      break;
    }
    results << "line:" + QString::fromLatin1(line.text.toPercentEncoding());
  }
  return results;
}

}  // namespace

class DataFileReaderTest : public QObject {
  Q_OBJECT

 private slots:
  void linesOfABuffer_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qsizetype>("maxBytes");
    QTest::addColumn<QStringList>("expected");
    const qsizetype big = kMaxDataLineBytes;
    QTest::newRow("LF") << QByteArray("12\n345\n") << big
                        << QStringList{"line:12", "line:345", "end"};
    QTest::newRow("CR LF gives the same")
        << QByteArray("12\r\n345\r\n") << big
        << QStringList{"line:12", "line:345", "end"};
    QTest::newRow("last line without LF")
        << QByteArray("12\n345") << big
        << QStringList{"line:12", "line:345", "end"};
    QTest::newRow("empty file") << QByteArray() << big << QStringList{"end"};
    QTest::newRow("empty lines")
        << QByteArray("\n\r\n\n") << big
        << QStringList{"line:", "line:", "line:", "end"};
    QTest::newRow("only the CR before LF goes")
        << QByteArray("a\rb\r\r\nc\r") << big
        << QStringList{"line:a%0Db%0D", "line:c%0D", "end"};
    QTest::newRow("bytes as they are")
        << QByteArray("\xE9\x00\x01\xFF\n", 5) << big
        << QStringList{"line:%E9%00%01%FF", "end"};
    QTest::newRow("at the bound")
        << QByteArray("1234\r\n56789\n") << qsizetype(4)
        << QStringList{"line:1234", "too long"};
    QTest::newRow("at the bound, last") << QByteArray("1234") << qsizetype(4)
                                        << QStringList{"line:1234", "end"};
    QTest::newRow("one over, last")
        << QByteArray("12345") << qsizetype(4) << QStringList{"too long"};
    QTest::newRow("one over with CR")
        << QByteArray("12345\r\n") << qsizetype(4) << QStringList{"too long"};
  }
  void linesOfABuffer() {
    QFETCH(QByteArray, content);
    QFETCH(qsizetype, maxBytes);
    QFETCH(QStringList, expected);
    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QCOMPARE(readAll(buffer, maxBytes), expected);
  }

  // Random contents against a plain model: split at LF, drop one CR
  // before each LF, no piece after a final LF, stop at a piece too long.
  void randomContentsMatchTheModel() {
    QRandomGenerator random(20261207);
    const char alphabet[] = {'a', '\r', '\n', '\0', '\xff', '7'};
    for (int round = 0; round < 2000; ++round) {
      QByteArray content;
      const int size = random.bounded(40);
      for (int i = 0; i < size; ++i) content += alphabet[random.bounded(6)];
      const qsizetype maxBytes = random.bounded(1, 8);
      QStringList expected;
      QList<QByteArray> pieces = content.split('\n');
      if (content.endsWith('\n') || content.isEmpty()) pieces.removeLast();
      for (qsizetype i = 0; i < pieces.size(); ++i) {
        QByteArray piece = pieces[i];
        const bool endedByLf = i + 1 < pieces.size() || content.endsWith('\n');
        if (endedByLf && piece.endsWith('\r')) piece.chop(1);
        if (piece.size() > maxBytes) {
          expected << "too long";
          break;
        }
        expected << "line:" + QString::fromLatin1(piece.toPercentEncoding());
      }
      if (expected.isEmpty() || expected.last() != "too long")
        expected << "end";
      QBuffer buffer(&content);
      QVERIFY(buffer.open(QIODevice::ReadOnly));
      QCOMPARE(readAll(buffer, maxBytes), expected);
    }
  }

  void theDefaultBoundIs64KiB() {
    QByteArray content(kMaxDataLineBytes, '7');
    content += "\r\n";
    content += QByteArray(kMaxDataLineBytes + 1, '8');
    content += "\n";
    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const DataFileLine first = readDataFileLine(buffer);
    QCOMPARE(first.kind, DataFileLine::Kind::Line);
    QCOMPARE(first.text.size(), kMaxDataLineBytes);
    QCOMPARE(readDataFileLine(buffer).kind, DataFileLine::Kind::TooLong);
  }

  void openingTellsWhyItFailed_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("error");
    QTest::newRow("missing") << "missing.txt" << ENOENT;
    QTest::newRow("a folder") << "folder" << EISDIR;
    QTest::newRow("below a file") << "cards.txt/x" << ENOTDIR;
    QTest::newRow("a file") << "cards.txt" << 0;
  }
  void openingTellsWhyItFailed() {
    QFETCH(QString, name);
    QFETCH(int, error);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    QFile cards(dir.filePath("cards.txt"));
    QVERIFY(cards.open(QIODevice::WriteOnly));
    cards.write("1\n2\n");
    cards.close();
    QFile file;
    QCOMPARE(openDataFile(file, dir.filePath(name)), error);
    QCOMPARE(file.isOpen(), error == 0);
    if (error == 0)
      QCOMPARE(readAll(file, 10), (QStringList{"line:1", "line:2", "end"}));
  }

  void aReadErrorIsNoEnd() {
    // A folder opened as a file reads with an error (EISDIR), like a
    // file on a medium that went away.
    QTemporaryDir dir;
    QFile folder(dir.path());
    const int fd = ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY);
    QVERIFY(fd >= 0);
    QVERIFY(folder.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    const DataFileLine line = readDataFileLine(folder);
    QCOMPARE(line.kind, DataFileLine::Kind::Failed);
    QVERIFY(!line.error.isEmpty());
  }
};

QTEST_GUILESS_MAIN(DataFileReaderTest)
#include "data_file_reader_test.moc"
