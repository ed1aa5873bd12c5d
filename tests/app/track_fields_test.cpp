// The track fields as the operator uses them: the typing filter of the
// track 2 and 3 fields, the byte counters, and the flag rule of the six
// source option boxes.
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QtTest>

#include "main_dialog_test.h"

Q_DECLARE_METATYPE(QList<int>)

namespace {

constexpr int kAutoInc[3] = {1019, 1020, 1027};
constexpr int kFromFile[3] = {1018, 1022, 1025};

}  // namespace

class TrackFieldsTest : public MainDialogTest<RecordingPrompt> {
  Q_OBJECT

 private:
  BOOL member(int id) {
    switch (id) {
      case 1019: return m_dlg->m_bAutoInc1;
      case 1020: return m_dlg->m_bAutoInc2;
      case 1027: return m_dlg->m_bAutoInc3;
      case 1018: return m_dlg->m_bFromFile1;
      case 1022: return m_dlg->m_bFromFile2;
      case 1025: return m_dlg->m_bFromFile3;
    }
    return -1;
  }

 private slots:
  void init() { showWithoutPort(); }
  void cleanup() { tearDown(); }

  void typing_data() {
    QTest::addColumn<int>("field");
    QTest::addColumn<QTestEventList>("keys");
    QTest::addColumn<QString>("expected");
    const auto typed = [](const QString& text) {
      QTestEventList keys;
      keys.addKeyClicks(text);
      return keys;
    };
    QTest::newRow("track 2 keeps its characters")
        << 1007 << typed("0123456789:;<=>?#'") << "0123456789:;<=>?#'";
    QTest::newRow("track 2 drops letters and blanks")
        << 1007 << typed("1a B2z") << "12";
    QTest::newRow("track 3 drops other punctuation")
        << 1008 << typed("%^_-+.,/!\"=9") << "=9";
    QTest::newRow("track 1 takes everything")
        << 1006 << typed("%Ab c^?") << "%Ab c^?";
    QTestEventList backspace = typed("123");
    backspace.addKeyClick(Qt::Key_Backspace);
    QTest::newRow("backspace deletes") << 1008 << backspace << "12";
    // Ctrl+A types a control character, which track 2 drops: the next
    // digit is appended. Track 1 selects all and the digit replaces it.
    QTestEventList selectAll = typed("12");
    selectAll.addKeyClick(Qt::Key_A, Qt::ControlModifier);
    selectAll.addKeyClicks("3");
    QTest::newRow("track 2 drops control characters")
        << 1007 << selectAll << "123";
    QTest::newRow("track 1 takes control characters")
        << 1006 << selectAll << "3";
  }
  void typing() {
    QFETCH(int, field);
    QFETCH(QTestEventList, keys);
    QFETCH(QString, expected);
    auto* edit = item<MultiLineEdit>(field);
    edit->setFocus();
    keys.simulate(edit);
    QCOMPARE(edit->toPlainText(), expected);
    // The operator's edits set the counter, singular for every count.
    QCOMPARE(counter(field - 1005), QString("%1 byte").arg(expected.size()));
  }

  void pastingIsNotFiltered() {
    QGuiApplication::clipboard()->setText("AB 12");
    auto* edit = item<MultiLineEdit>(1007);
    edit->paste();  // what the context menu's Paste does
    QCOMPARE(edit->toPlainText(), QString("AB 12"));
    QCOMPARE(counter(2), QString("5 byte"));
  }

  void programTextDoesNotRunTheCounterHandler() {
    QTest::keyClicks(item<MultiLineEdit>(1006), "ab");
    QCOMPARE(counter(1), QString("2 byte"));
    m_dlg->m_strTrack1 = "abcdef";
    m_dlg->m_strTrack3 = "123";
    m_dlg->UpdateData(false);
    QCOMPARE(item<MultiLineEdit>(1006)->toPlainText(), QString("abcdef"));
    QCOMPARE(counter(1), QString("2 byte"));
    QCOMPARE(counter(3), QString("0 byte"));
    // Deleting to empty is an edit too.
    QTest::keyClick(item<MultiLineEdit>(1008), Qt::Key_End);
    for (int i = 0; i < 3; ++i) {
      QTest::keyClick(item<MultiLineEdit>(1008), Qt::Key_Backspace);
    }
    QCOMPARE(counter(3), QString("0 byte"));
    QCOMPARE(item<MultiLineEdit>(1008)->toPlainText(), QString());
  }

  void flagRule_data() {
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<QList<int>>("checked");
    QTest::newRow("auto increment") << QList<int>{1019} << QList<int>{1019};
    QTest::newRow("auto increment twice")
        << QList<int>{1019, 1019} << QList<int>{};
    QTest::newRow("auto increment takes over from file")
        << QList<int>{1018, 1019} << QList<int>{1019};
    QTest::newRow("from file takes over from auto increment")
        << QList<int>{1019, 1018} << QList<int>{1018};
    QTest::newRow("from file twice") << QList<int>{1018, 1018} << QList<int>{};
    QTest::newRow("from file, auto increment twice")
        << QList<int>{1022, 1020, 1020} << QList<int>{};
    QTest::newRow("tracks are independent")
        << QList<int>{1020, 1025, 1018, 1027} << QList<int>{1020, 1018, 1027};
  }
  void flagRule() {
    QFETCH(QList<int>, clicks);
    QFETCH(QList<int>, checked);
    for (const int id : clicks) {
      QTest::mouseClick(item<QCheckBox>(id), Qt::LeftButton);
    }
    for (int track = 0; track < 3; ++track) {
      for (const int id : {kAutoInc[track], kFromFile[track]}) {
        const bool expected = checked.contains(id);
        QVERIFY2(item<QCheckBox>(id)->isChecked() == expected,
                 qPrintable(QString::number(id)));
        QVERIFY2(member(id) == (expected ? TRUE : FALSE),
                 qPrintable(QString::number(id)));
      }
    }
    // The boxes enable and disable nothing.
    for (const int id :
         {1006, 1007, 1008, 1013, 1021, 1026, 1029, 1024, 1028}) {
      QVERIFY(item<QWidget>(id)->isEnabled());
    }
  }
};

QTEST_MAIN(TrackFieldsTest)
#include "track_fields_test.moc"
