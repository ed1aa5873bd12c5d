// The port number taken from the port name: three characters skipped, the
// rest converted as atoi does, at most 19 characters of it.
#include <QTest>
#include <climits>

#include "port_number.h"

class TestPortNumber : public QObject {
  Q_OBJECT

 private slots:
  void convertsLikeAtoi_data();
  void convertsLikeAtoi();
  void onlyNineteenCharactersConvert();
  void overflowSaturatesThenKeepsLow16Bits();
  void veryLongNamesNeverOverrun();
  void devicePathNames();
};

void TestPortNumber::convertsLikeAtoi_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<int>("number");
  QTest::newRow("COM1") << "COM1" << 1;
  QTest::newRow("COM12") << "COM12" << 12;
  QTest::newRow("COM20") << "COM20" << 20;
  QTest::newRow("empty") << "" << 0;
  QTest::newRow("two characters") << "CO" << 0;
  QTest::newRow("three characters") << "COM" << 0;
  QTest::newRow("letter after COM") << "COMx" << 0;
  QTest::newRow("blank then digit") << "COM 7" << 7;
  QTest::newRow("tab and newline") << "COM\t\n 9" << 9;
  QTest::newRow("minus") << "COM-3" << -3;
  QTest::newRow("plus") << "COM+4" << 4;
  QTest::newRow("sign twice") << "COM--3" << 0;
  QTest::newRow("sign then blank") << "COM- 3" << 0;
  QTest::newRow("trailing letters") << "COM12abc" << 12;
  QTest::newRow("decimal point") << "COM3.9" << 3;
  QTest::newRow("leading zeros") << "COM007" << 7;
  QTest::newRow("prefix not compared") << "XYZ5" << 5;
  QTest::newRow("lower case") << "com2" << 2;
  QTest::newRow("short prefix loses a digit") << "CO12" << 2;
  QTest::newRow("digits inside prefix") << "123" << 0;
  QTest::newRow("non-Latin-1 stops") << QString::fromUtf8("COM\u4e007") << 0;
  QTest::newRow("Latin-1 nbsp is no blank") << QString::fromLatin1(
                                                   "COM\xa0"
                                                   "5")
                                            << 0;
  QTest::newRow("embedded zero ends the text") << QString::fromLatin1(
                                                      "COM1\0"
                                                      "2",
                                                      6)
                                               << 1;
  QTest::newRow("device path") << "/dev/ttyUSB0" << 0;
}

void TestPortNumber::convertsLikeAtoi() {
  QFETCH(QString, name);
  QFETCH(int, number);
  QCOMPARE(int(PortNumberFromName(name)), number);
}

void TestPortNumber::onlyNineteenCharactersConvert() {
  // 22 characters: all 19 after the prefix take part.
  QCOMPARE(int(PortNumberFromName("COM" + QString(18, '0') + "5")), 5);
  // 23 characters: the 20th character after the prefix is cut off.
  QCOMPARE(int(PortNumberFromName("COM" + QString(18, '0') + "45")), 4);
  QCOMPARE(int(PortNumberFromName("COM" + QString(19, ' ') + "8")), 0);
  QCOMPARE(int(PortNumberFromName("COM" + QString(18, ' ') + "8")), 8);
}

void TestPortNumber::overflowSaturatesThenKeepsLow16Bits() {
  QCOMPARE(int(PortNumberFromName("COM65537")), 1);
  QCOMPARE(int(PortNumberFromName("COM40000")), -25536);
  QCOMPARE(int(PortNumberFromName("COM-65535")), 1);
  // The edges of int, then beyond: INT_MAX and INT_MIN keep their low bits.
  QCOMPARE(int(PortNumberFromName("COM2147483647")), int(short(INT_MAX)));
  QCOMPARE(int(PortNumberFromName("COM2147483648")), int(short(INT_MAX)));
  QCOMPARE(int(PortNumberFromName("COM-2147483648")), int(short(INT_MIN)));
  QCOMPARE(int(PortNumberFromName("COM-2147483649")), int(short(INT_MIN)));
  QCOMPARE(int(PortNumberFromName("COM9999999999999999999")),
           int(short(INT_MAX)));
  QCOMPARE(int(PortNumberFromName("COM-999999999999999999")),
           int(short(INT_MIN)));
}

void TestPortNumber::veryLongNamesNeverOverrun() {
  // Run under the sanitizers this would catch a write past the buffer.
  QCOMPARE(int(PortNumberFromName("COM12" + QString(100000, 'x'))), 12);
  QCOMPARE(int(PortNumberFromName("COM" + QString(100000, '9'))),
           int(short(INT_MAX)));
}

void TestPortNumber::devicePathNames() {
  QVERIFY(IsDevicePathName("/dev/ttyUSB0"));
  QVERIFY(IsDevicePathName("/"));
  QVERIFY(!IsDevicePathName("COM1"));
  QVERIFY(!IsDevicePathName(""));
  QVERIFY(!IsDevicePathName(" /dev/ttyS0"));
  QVERIFY(!IsDevicePathName("dev/ttyS0"));
}

QTEST_MAIN(TestPortNumber)
#include "port_number_test.moc"
