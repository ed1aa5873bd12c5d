// The main dialog's data bindings: members into controls and back, the
// checks on the way back, and where a failed check stops the transfer.
#include <QCheckBox>
#include <QClipboard>
#include <QLineEdit>
#include <QtTest>

#include "main_dialog_test.h"

class DataExchangeTest : public MainDialogTest<RecordingPrompt> {
  Q_OBJECT

 private:
  QCheckBox* check(int id) { return item<QCheckBox>(id); }
  QLineEdit* line(int id) { return item<QLineEdit>(id); }
  MultiLineEdit* edit(int id) { return item<MultiLineEdit>(id); }

 private slots:
  void init() { showWithoutPort(); }
  void cleanup() { tearDown(); }

  void controlsComeIntoTheMembers() {
    check(1001)->setChecked(true);
    check(1005)->setChecked(true);
    check(1020)->setChecked(true);
    check(1025)->setChecked(true);
    edit(1006)->setPlainText("%B123^Ä");  // Latin-1 letters stay one byte
    edit(1007)->setPlainText("1234=56");
    line(1013)->setText(" -7 ");
    line(1021)->setText("+250");
    QVERIFY(m_dlg->UpdateData(true));
    QCOMPARE(m_dlg->m_bTrack1, TRUE);
    QCOMPARE(m_dlg->m_bTrack2, FALSE);
    QCOMPARE(m_dlg->m_bTrack3, TRUE);
    QCOMPARE(m_dlg->m_bAutoInc2, TRUE);
    QCOMPARE(m_dlg->m_bFromFile3, TRUE);
    QCOMPARE(m_dlg->m_bAutoInc1, FALSE);
    QCOMPARE(m_dlg->m_strTrack1, QByteArray("%B123^\xC4"));
    QCOMPARE(m_dlg->m_strTrack2, QByteArray("1234=56"));
    QCOMPARE(m_dlg->m_strTrack3, QByteArray());
    QCOMPARE(m_dlg->m_nStep1, -7);
    QCOMPARE(m_dlg->m_nStep2, 250);
    QCOMPARE(m_dlg->m_nStep3, 1);
    QVERIFY(m_prompt->messages.isEmpty());
  }

  void membersGoIntoTheControls() {
    m_dlg->m_bTrack2 = TRUE;
    m_dlg->m_bFromFile1 = TRUE;
    m_dlg->m_strTrack3 = QByteArray("0099\xE9");
    m_dlg->m_nStep3 = -12;
    m_dlg->UpdateData(false);
    QVERIFY(check(1004)->isChecked());
    QVERIFY(check(1018)->isChecked());
    QVERIFY(!check(1001)->isChecked());
    QCOMPARE(edit(1008)->toPlainText(), QString("0099é"));
    QCOMPARE(line(1026)->text(), QString("-12"));
  }

  void lineBreaksRoundTripAsCrLf() {
    m_dlg->m_strTrack1 = "AB\r\nCD";
    m_dlg->UpdateData(false);
    QCOMPARE(edit(1006)->toPlainText(), QString("AB\nCD"));
    QCOMPARE(edit(1006)->windowTextLength(), 6);
    QVERIFY(m_dlg->UpdateData(true));
    QCOMPARE(m_dlg->m_strTrack1, QByteArray("AB\r\nCD"));
  }

  void aStepThatIsNotAnIntegerStopsTheTransferThere() {
    check(1022)->setChecked(true);  // bound before the steps
    line(1013)->setText("12a");
    line(1021)->setText("5");  // bound after the failing step
    QVERIFY(!m_dlg->UpdateData(true));
    QCOMPARE(m_prompt->messages.size(), 1);
    QCOMPARE(m_prompt->messages[0].text, QString("Enter an integer."));
    QCOMPARE(m_prompt->messages[0].caption, QString("Velmora"));
    QCOMPARE(QApplication::focusWidget(), line(1013));
    QCOMPARE(line(1013)->selectedText(), QString("12a"));
    QCOMPARE(m_dlg->m_bFromFile2, TRUE);
    QCOMPARE(m_dlg->m_nStep1, 1);
    QCOMPARE(m_dlg->m_nStep2, 1);
  }

  void stepsOutsideThe32BitRangeFail() {
    line(1026)->setText("2147483648");
    QVERIFY(!m_dlg->UpdateData(true));
    QCOMPARE(m_dlg->m_nStep3, 1);
    line(1026)->setText("-2147483648");
    QVERIFY(m_dlg->UpdateData(true));
    QCOMPARE(m_dlg->m_nStep3, -2147483647 - 1);
    line(1026)->setText("");
    QVERIFY(!m_dlg->UpdateData(true));
  }

  void anOverlongTrackTextFailsAtItsControl() {
    // The field's limit holds typing back, but text can be put there
    // otherwise; reading it back checks the length.
    edit(1007)->setPlainText(QString(105, '5'));
    check(1019)->setChecked(true);  // bound after the tracks
    QVERIFY(!m_dlg->UpdateData(true));
    QCOMPARE(m_prompt->messages.size(), 1);
    QVERIFY(m_prompt->messages[0].text.contains("104"));
    QCOMPARE(QApplication::focusWidget(), edit(1007));
    QCOMPARE(m_dlg->m_bAutoInc1, FALSE);
    // Exactly at the limit is fine.
    edit(1007)->setPlainText(QString(104, '5'));
    QVERIFY(m_dlg->UpdateData(true));
    QCOMPARE(m_dlg->m_strTrack2, QByteArray(104, '5'));
    QCOMPARE(m_dlg->m_bAutoInc1, TRUE);
  }

  void aCharacterWithoutASingleByteIsNeverStoredAsAnother() {
    edit(1006)->setPlainText("AB€");
    QVERIFY(!m_dlg->UpdateData(true));
    QCOMPARE(m_prompt->messages.size(), 1);
    QVERIFY(m_dlg->m_strTrack1.isEmpty());
    QCOMPARE(QApplication::focusWidget(), edit(1006));
  }

  void typingRefusesCharactersWithoutASingleByte() {
    MultiLineEdit* field = edit(1006);
    field->setFocus();
    // Keys whose text is not ASCII, as a keyboard layout delivers them.
    const auto typeKey = [field](int key, const QString& text) {
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
      QApplication::sendEvent(field, &press);
      QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
      QApplication::sendEvent(field, &release);
    };
    QTest::keyClicks(field, "a");
    typeKey(Qt::Key_unknown, "€");
    typeKey(Qt::Key_Udiaeresis, "ü");
    typeKey(Qt::Key_unknown, "关");
    QCOMPARE(field->toPlainText(), QString("aü"));
  }

  void pastingKeepsWhatFitsAndDropsWhatHasNoSingleByte() {
    MultiLineEdit* field = edit(1006);
    field->setPlainText(QString(70, 'x'));
    field->moveCursor(QTextCursor::End);
    QApplication::clipboard()->setText("12€345678");
    field->paste();
    QCOMPARE(field->toPlainText(), QString(70, 'x') + "123456");
    QCOMPARE(field->windowTextLength(), 76);
  }
};

QTEST_MAIN(DataExchangeTest)
#include "data_exchange_test.moc"
