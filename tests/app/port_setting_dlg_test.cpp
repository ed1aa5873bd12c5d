// The serial port settings dialog: its controls, what it shows when it
// opens and what it hands back on OK and Cancel.
#include "port_setting_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QTest>
#include <QTimer>
#include <cmath>

namespace {

constexpr int kComboIds[] = {1009, 1010, 1011, 1012, 1013};

QStringList items(const QComboBox* combo) {
  QStringList list;
  for (int i = 0; i < combo->count(); ++i) list << combo->itemText(i);
  return list;
}

// Replaces the combo box's text as an operator would, key by key.
void typeInto(QComboBox* combo, const QString& text) {
  combo->lineEdit()->selectAll();
  QTest::keyClick(combo->lineEdit(), Qt::Key_Delete);
  QTest::keyClicks(combo->lineEdit(), text);
}

QPushButton* button(const CPortSettingDlg& dlg, int id) {
  return qobject_cast<QPushButton*>(dlg.GetDlgItem(id));
}

// Dialog units to pixels from first principles: the average width of the
// 52 Latin letters and the line height of the dialog's font.
int toPixelsX(const QFont& font, int dlu) {
  const QFontMetrics fm(font);
  const int cx = (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "abcdefghijklmnopqrstuvwxyz") /
                      26 +
                  1) /
                 2;
  return static_cast<int>(std::lround(dlu * cx / 4.0));
}
int toPixelsY(const QFont& font, int dlu) {
  return static_cast<int>(std::lround(dlu * QFontMetrics(font).height() / 8.0));
}

}  // namespace

class TestPortSettingDlg : public QObject {
  Q_OBJECT

 private slots:
  void opensWithInitialValuesAndLists();
  void controlsSitWhereTheTemplatePutsThem();
  void tabOrderFollowsTheTemplate();
  void okTakesTheTypedTexts();
  void enterInAComboEndsWithOkWithoutAddingToTheList();
  void cancelAndEscapeLeaveTheMembers();
  void aNewDialogStartsFromTheInitialValues();
  void openingSelectsTheFirstItemBeginningWithTheValue();
  void execRunsModallyUntilOk();
};

void TestPortSettingDlg::opensWithInitialValuesAndLists() {
  CPortSettingDlg dlg;
  dlg.show();
  QCOMPARE(dlg.windowTitle(), QString("Dialog"));
  const QStringList texts{"COM1", "9600", "NONE", "8", "1"};
  for (int i = 0; i < 5; ++i) {
    QComboBox* combo = dlg.comboBox(kComboIds[i]);
    QVERIFY2(combo, qPrintable(QString::number(kComboIds[i])));
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->currentText(), texts[i]);
    QCOMPARE(combo->currentIndex(), 0);
  }

  const QStringList ports = items(dlg.comboBox(1009));
  QStringList comNames;
  for (int n = 1; n <= 20; ++n) comNames << QString("COM%1").arg(n);
  QCOMPARE(ports.mid(0, 20), comNames);
  // Then the devices of this machine, as paths.
  QStringList devices;
  for (const auto& info : QSerialPortInfo::availablePorts())
    devices << info.systemLocation();
  devices.sort();
  devices.removeDuplicates();
  QCOMPARE(ports.mid(20), devices);

  QCOMPARE(items(dlg.comboBox(1010)), QStringList{"9600"});
  QCOMPARE(items(dlg.comboBox(1011)), QStringList{"NONE"});
  QCOMPARE(items(dlg.comboBox(1012)), QStringList{"8"});
  QCOMPARE(items(dlg.comboBox(1013)), QStringList{"1"});
  QVERIFY(dlg.comboBox(1014) == nullptr);

  QCOMPARE(button(dlg, 1)->text(), QString("OK"));
  QVERIFY(button(dlg, 1)->isDefault());
  QCOMPARE(button(dlg, 2)->text(), QString("CANCEL"));
  QStringList labels;
  for (const QLabel* label : dlg.findChildren<QLabel*>())
    labels << label->text();
  QCOMPARE(labels, (QStringList{"Serial Port:", "Baud rate:", "Parity:",
                                "Data bit", "Stop bit:"}));
}

void TestPortSettingDlg::controlsSitWhereTheTemplatePutsThem() {
  CPortSettingDlg dlg;
  const QFont font = dlg.font();
  QCOMPARE(QFontInfo(font).pointSize(), 10);

  // The client area is 187 x 146 dialog units and cannot be resized.
  QCOMPARE(dlg.size(), QSize(toPixelsX(font, 187), toPixelsY(font, 146)));
  QCOMPARE(dlg.minimumSize(), dlg.maximumSize());

  QCOMPARE(button(dlg, 1)->geometry(),
           QRect(toPixelsX(font, 26), toPixelsY(font, 125), toPixelsX(font, 50),
                 toPixelsY(font, 14)));
  QCOMPARE(button(dlg, 2)->geometry(),
           QRect(toPixelsX(font, 110), toPixelsY(font, 125),
                 toPixelsX(font, 50), toPixelsY(font, 14)));

  const QLabel* stopLabel = nullptr;
  for (const QLabel* label : dlg.findChildren<QLabel*>())
    if (label->text() == "Stop bit:") stopLabel = label;
  QVERIFY(stopLabel);
  QCOMPARE(stopLabel->geometry(),
           QRect(toPixelsX(font, 15), toPixelsY(font, 98), toPixelsX(font, 28),
                 toPixelsY(font, 8)));

  // A combo box keeps its closed height; the template's height is that of
  // its list, so only position and width come from the template.
  const QComboBox* baud = dlg.comboBox(1010);
  QCOMPARE(baud->pos(), QPoint(toPixelsX(font, 64), toPixelsY(font, 40)));
  QCOMPARE(baud->width(), toPixelsX(font, 48));
  const QComboBox* port = dlg.comboBox(1009);
  QCOMPARE(port->pos(), QPoint(toPixelsX(font, 64), toPixelsY(font, 22)));
  // The port list drops down further than the single-item lists.
  QVERIFY(port->maxVisibleItems() > baud->maxVisibleItems());
}

void TestPortSettingDlg::tabOrderFollowsTheTemplate() {
  CPortSettingDlg dlg;
  dlg.show();
  QVERIFY(QTest::qWaitForWindowActive(&dlg));
  // The focus starts on OK, and Tab walks the controls in template order,
  // passing over the labels, and comes round again.
  const QList<int> order{1, 2, 1009, 1010, 1011, 1012, 1013, 1};
  for (int i = 0; i < order.size(); ++i) {
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus);
    // An editable combo box passes the focus to its line edit.
    if (focus->parentWidget() != &dlg) focus = focus->parentWidget();
    QCOMPARE(focus, dlg.GetDlgItem(order[i]));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
}

void TestPortSettingDlg::okTakesTheTypedTexts() {
  CPortSettingDlg dlg;
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  typeInto(dlg.comboBox(1009), "COM3");
  typeInto(dlg.comboBox(1010), "19200");
  typeInto(dlg.comboBox(1011), "EVEN");
  typeInto(dlg.comboBox(1012), "7");
  typeInto(dlg.comboBox(1013), "");
  QTest::mouseClick(button(dlg, 1), Qt::LeftButton);
  QCOMPARE(dlg.result(), int(QDialog::Accepted));
  QCOMPARE(dlg.m_strPortName, QString("COM3"));
  QCOMPARE(dlg.m_strBaudRate, QString("19200"));
  QCOMPARE(dlg.m_strParity, QString("EVEN"));
  QCOMPARE(dlg.m_strDataBits, QString("7"));
  QCOMPARE(dlg.m_strStopBits, QString(""));
}

void TestPortSettingDlg::enterInAComboEndsWithOkWithoutAddingToTheList() {
  CPortSettingDlg dlg;
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  QComboBox* port = dlg.comboBox(1009);
  const QStringList before = items(port);
  port->setFocus();
  typeInto(port, "/dev/ttyUSB7");
  QTest::keyClick(port->lineEdit(), Qt::Key_Return);
  QCOMPARE(dlg.result(), int(QDialog::Accepted));
  QVERIFY(!dlg.isVisible());
  QCOMPARE(dlg.m_strPortName, QString("/dev/ttyUSB7"));
  QCOMPARE(items(port), before);
}

void TestPortSettingDlg::cancelAndEscapeLeaveTheMembers() {
  CPortSettingDlg dlg;
  dlg.m_strPortName = "COM5";
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  typeInto(dlg.comboBox(1009), "COM9");
  typeInto(dlg.comboBox(1010), "4800");
  QTest::mouseClick(button(dlg, 2), Qt::LeftButton);
  QCOMPARE(dlg.result(), int(QDialog::Rejected));
  QCOMPARE(dlg.m_strPortName, QString("COM5"));
  QCOMPARE(dlg.m_strBaudRate, QString("9600"));

  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  typeInto(dlg.comboBox(1010), "1200");
  QTest::keyClick(dlg.comboBox(1010)->lineEdit(), Qt::Key_Escape);
  QCOMPARE(dlg.result(), int(QDialog::Rejected));
  QVERIFY(!dlg.isVisible());
  QCOMPARE(dlg.m_strBaudRate, QString("9600"));
}

void TestPortSettingDlg::aNewDialogStartsFromTheInitialValues() {
  {
    CPortSettingDlg first;
    first.show();
    QVERIFY(QTest::qWaitForWindowExposed(&first));
    typeInto(first.comboBox(1009), "COM4");
    typeInto(first.comboBox(1010), "2400");
    QTest::mouseClick(button(first, 1), Qt::LeftButton);
    QCOMPARE(first.m_strPortName, QString("COM4"));
  }
  CPortSettingDlg second;
  QCOMPARE(second.m_strPortName, QString("COM1"));
  QCOMPARE(second.m_strBaudRate, QString("9600"));
  QCOMPARE(second.m_strParity, QString("NONE"));
  QCOMPARE(second.m_strDataBits, QString("8"));
  QCOMPARE(second.m_strStopBits, QString("1"));
  second.show();
  QCOMPARE(second.comboBox(1009)->currentText(), QString("COM1"));
  QCOMPARE(second.comboBox(1010)->currentText(), QString("9600"));
}

void TestPortSettingDlg::openingSelectsTheFirstItemBeginningWithTheValue() {
  CPortSettingDlg dlg;
  dlg.m_strPortName = "COM2";  // COM2 comes before COM20
  dlg.m_strBaudRate = "19200";
  dlg.m_strParity = "no";
  dlg.m_strDataBits = "";
  dlg.m_strStopBits = "one";
  dlg.show();
  QCOMPARE(dlg.comboBox(1009)->currentIndex(), 1);
  QCOMPARE(dlg.comboBox(1009)->currentText(), QString("COM2"));
  // Not in the list: the value becomes the text and nothing is selected.
  QCOMPARE(dlg.comboBox(1010)->currentIndex(), -1);
  QCOMPARE(dlg.comboBox(1010)->currentText(), QString("19200"));
  // A prefix selects the whole item, whatever its case.
  QCOMPARE(dlg.comboBox(1011)->currentText(), QString("NONE"));
  QCOMPARE(dlg.comboBox(1012)->currentText(), QString("8"));
  QCOMPARE(dlg.comboBox(1013)->currentText(), QString("one"));
  dlg.hide();

  // Shown again, the dialog shows its members again, not the typed text.
  dlg.m_strPortName = "com1";
  typeInto(dlg.comboBox(1009), "COM17");
  dlg.show();
  QCOMPARE(dlg.comboBox(1009)->currentText(), QString("COM1"));
  dlg.hide();

  // A port is named whole: a port that is not listed is not the first
  // listed port it begins (COM1 of COM10, a gone /dev/ttyUSB1 of
  // /dev/ttyUSB10), and a path is matched with its case.
  QComboBox* port = dlg.comboBox(1009);
  port->addItem("/dev/ttyUSB10");
  port->addItem("/dev/ttyusb2");
  for (const char* value : {"COM", "/dev/ttyUSB1", "/dev/ttyUSB2"}) {
    dlg.m_strPortName = value;
    dlg.show();
    QCOMPARE(port->currentIndex(), -1);
    QCOMPARE(port->currentText(), QString(value));
    dlg.hide();
  }
}

void TestPortSettingDlg::execRunsModallyUntilOk() {
  CPortSettingDlg dlg;
  bool sawInitialText = false;
  QTimer::singleShot(0, &dlg, [&] {
    sawInitialText = dlg.comboBox(1009)->currentText() == "COM1";
    typeInto(dlg.comboBox(1009), "COM6");
    QTest::mouseClick(button(dlg, 1), Qt::LeftButton);
  });
  QCOMPARE(dlg.exec(), int(QDialog::Accepted));
  QVERIFY(sawInitialText);
  QCOMPARE(dlg.m_strPortName, QString("COM6"));
}

QTEST_MAIN(TestPortSettingDlg)
#include "port_setting_dlg_test.moc"
