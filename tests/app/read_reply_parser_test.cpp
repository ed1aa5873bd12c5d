// The byte-by-byte read parsing: each selection's rules on the replies an
// encoder sends, and the same result however the reply is cut into events.
#include <QtTest>

#include "read_reply_parser.h"

namespace {

struct Parsed {
  QByteArray track1, track2, track3;
  bool operator==(const Parsed&) const = default;
};

// Parses `reply` delivered in pieces that end at the given offsets.
Parsed parse(int selection, const QByteArray& reply, QList<int> cuts = {}) {
  BOOL inTrack1 = FALSE, inTrack3 = FALSE, ended = FALSE, marker = FALSE;
  int count = 0;
  Parsed out;
  ReadParseState state{inTrack1, inTrack3,   ended,      marker,
                       count,    out.track1, out.track2, out.track3};
  cuts.append(static_cast<int>(reply.size()));
  int from = 0;
  for (const int to : cuts) {
    // Each piece is parsed on its own, as one event's bytes are.
    const QByteArray piece = reply.mid(from, to - from);
    for (const char b : piece) {
      parseReadByte(selection, static_cast<unsigned char>(b), state);
    }
    from = to;
  }
  return out;
}

}  // namespace

class ReadReplyParserTest : public QObject {
  Q_OBJECT

 private slots:
  void eachSelectionSortsItsReply_data() {
    QTest::addColumn<int>("selection");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("track1");
    QTest::addColumn<QByteArray>("track2");
    QTest::addColumn<QByteArray>("track3");
    const QByteArray tail(
        "?\x1c\x1br"
        "p");
    QTest::newRow("track 2") << 2 << "\x1bs123" + tail << QByteArray()
                             << QByteArray("123") << QByteArray();
    QTest::newRow("track 1, later B is data")
        << 1 << "\x1bsBABC" + tail << QByteArray("ABC") << QByteArray()
        << QByteArray();
    QTest::newRow("track 3, A inside dropped")
        << 4 << "\x1bsA4A5" + tail << QByteArray() << QByteArray()
        << QByteArray("45");
    QTest::newRow("tracks 1 and 2")
        << 3 << "\x1bs12BXBY" + tail << QByteArray("XBY") << QByteArray("12")
        << QByteArray();
    QTest::newRow("tracks 2 and 3") << 6 << "\x1bs12A34" + tail << QByteArray()
                                    << QByteArray("12") << QByteArray("34");
    QTest::newRow("all three")
        << 7 << "\x1bs123A456BXYZ" + tail << QByteArray("XYZ")
        << QByteArray("123") << QByteArray("456");
    QTest::newRow("all three, A and B in track 1")
        << 7 << "\x1bs1A2BABBA" + tail << QByteArray("ABBA") << QByteArray("1")
        << QByteArray("2");
    QTest::newRow("empty track 2 of three")
        << 7 << "\x1bsA9BX" + tail << QByteArray("X") << QByteArray()
        << QByteArray("9");
    QTest::newRow("nothing after FS")
        << 2
        << QByteArray(
               "\x1bs12\x1c"
               "34r",
               7)
        << QByteArray() << QByteArray("12") << QByteArray();
    QTest::newRow("zero byte adds nothing")
        << 2
        << QByteArray(
               "\x1bs1\0"
               "2?\x1c\x1brp",
               10)
        << QByteArray() << QByteArray("12") << QByteArray();
    QTest::newRow("failed read")
        << 6 << QByteArray("\x1bs1A2?\x1c\x1brq") << QByteArray()
        << QByteArray("1") << QByteArray("2");
    QTest::newRow("tracks 1 and 3 take nothing")
        << 5 << "\x1bsA1B2" + tail << QByteArray() << QByteArray()
        << QByteArray();
    QTest::newRow("no track takes nothing")
        << 0 << "\x1bs12" + tail << QByteArray() << QByteArray()
        << QByteArray();
  }
  void eachSelectionSortsItsReply() {
    QFETCH(int, selection);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, track1);
    QFETCH(QByteArray, track2);
    QFETCH(QByteArray, track3);
    const Parsed want{track1, track2, track3};
    QCOMPARE(parse(selection, reply), want);
    // Cut once at every position, and into one event per byte.
    QList<int> everyByte;
    for (int cut = 1; cut < reply.size(); ++cut) {
      QCOMPARE(parse(selection, reply, {cut}), want);
      everyByte.append(cut);
    }
    QCOMPARE(parse(selection, reply, everyByte), want);
  }
};

QTEST_APPLESS_MAIN(ReadReplyParserTest)
#include "read_reply_parser_test.moc"
