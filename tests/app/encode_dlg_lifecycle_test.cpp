// How the main dialog ends, checked on the wire of a simulated encoder:
// Exit and Close reset the encoder only when the port is open, Escape
// never does, and Enter ends nothing.
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "app_test_support.h"
#include "encode_dlg.h"
#include "mscomm.h"
#include "multi_line_edit.h"

class EncodeDlgLifecycleTest : public QObject {
  Q_OBJECT

 private:
  // A shown dialog on COM1, which leads to the simulated encoder.
  struct Session {
    PrivateLogPath log;
    SimulatedPort port{1};
    RecordingPrompt prompt;
    CEncodeDlg dlg;
    QSignalSpy finished{&dlg, &QDialog::finished};

    bool start(bool openPort) {
      if (!port.started()) return false;
      dlg.Create();
      dlg.show();
      if (!QTest::qWaitForWindowExposed(&dlg)) return false;
      if (openPort) {
        dlg.OnCommand(32771);
        if (!dlg.m_comm->GetPortOpen()) return false;
      }
      return true;
    }
  };

 private slots:
  void exitWithThePortOpenClosesTheLogThenResets() {
    Session s;
    QVERIFY(s.start(true));
    QVERIFY(s.dlg.m_logFile.isOpen());
    s.dlg.OnCommand(32774);
    QCOMPARE(s.finished.count(), 1);
    QCOMPARE(s.finished.at(0).at(0).toInt(), 0);
    QVERIFY(!s.dlg.m_logFile.isOpen());
    QCOMPARE(s.dlg.m_nSeconds, 20);
    QVERIFY(s.port.waitForFrames(1));
    QCOMPARE(s.port.settledFrames(), QList<QByteArray>{kResetFrameBytes});
    // Ending does not close the port; the control releases it with the
    // window.
    QVERIFY(s.dlg.m_comm->GetPortOpen());
    QVERIFY(s.prompt.messages.isEmpty());
  }

  void exitWithThePortClosedSendsNothing() {
    Session s;
    QVERIFY(s.start(false));
    s.dlg.OnCommand(32774);
    QCOMPARE(s.finished.count(), 1);
    QVERIFY(!s.dlg.m_logFile.isOpen());
    QCOMPARE(s.dlg.m_nSeconds, 0);
    QVERIFY(s.port.settledFrames().isEmpty());
  }

  void closeWithThePortOpenResetsAndEndsWithCancel() {
    Session s;
    QVERIFY(s.start(true));
    QVERIFY(s.dlg.close());
    QCOMPARE(s.finished.count(), 1);
    QCOMPARE(s.finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    QVERIFY(!s.dlg.isVisible());
    QVERIFY(!s.dlg.m_logFile.isOpen());
    QVERIFY(s.port.waitForFrames(1));
    QCOMPARE(s.port.settledFrames(), QList<QByteArray>{kResetFrameBytes});
  }

  void closeWithThePortClosedSendsNothing() {
    Session s;
    QVERIFY(s.start(false));
    // Through the window menu's Close, as the close button would.
    s.dlg.OnSysCommand(0xF060);
    QCOMPARE(s.finished.count(), 1);
    QVERIFY(!s.dlg.m_logFile.isOpen());
    QVERIFY(s.port.settledFrames().isEmpty());
  }

  void escapeEndsWithoutClosingTheLogOrResetting() {
    Session s;
    QVERIFY(s.start(true));
    QWidget* field = s.dlg.GetDlgItem(1006);
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Escape);
    QCOMPARE(s.finished.count(), 1);
    QCOMPARE(s.finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    QVERIFY(s.dlg.m_logFile.isOpen());
    QCOMPARE(s.dlg.m_nSeconds, 0);
    QVERIFY(s.port.settledFrames().isEmpty());
  }

  void enterDoesNothingInTrackAndStepFields() {
    Session s;
    QVERIFY(s.start(true));
    auto* track = qobject_cast<MultiLineEdit*>(s.dlg.GetDlgItem(1007));
    track->setFocus();
    QTest::keyClicks(track, "123");
    QTest::keyClick(track, Qt::Key_Return);
    QTest::keyClick(track, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(track->toPlainText(), QString("123"));  // no line break taken

    auto* step = qobject_cast<QLineEdit*>(s.dlg.GetDlgItem(1021));
    step->setFocus();
    QTest::keyClick(step, Qt::Key_Return);
    QCOMPARE(step->text(), QString("1"));

    s.dlg.accept();  // the OK action itself
    QTest::qWait(50);
    QCOMPARE(s.finished.count(), 0);
    QVERIFY(s.dlg.isVisible());
    QVERIFY(s.dlg.m_logFile.isOpen());
    QVERIFY(s.port.settledFrames().isEmpty());
    s.dlg.done(0);
  }

  void enterOnAPushButtonClicksIt() {
    Session s;
    QVERIFY(s.start(false));
    auto* button = qobject_cast<QPushButton*>(s.dlg.GetDlgItem(1029));
    QSignalSpy clicked(button, &QPushButton::clicked);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(s.finished.count(), 0);
    s.dlg.done(0);
  }
};

QTEST_MAIN(EncodeDlgLifecycleTest)
#include "encode_dlg_lifecycle_test.moc"
