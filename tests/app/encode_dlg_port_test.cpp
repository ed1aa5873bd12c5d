// Choosing, opening and closing the port from the menu, the toolbar and
// the settings dialog, against simulated encoders on real pseudo-terminals.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QToolBar>
#include <QtTest>

#include "main_dialog_test.h"
#include "port_setting_dlg.h"

namespace {

constexpr int kOpenPort = 32771;
constexpr int kClosePort = 32772;
constexpr int kPortSetting = 32779;
constexpr int kTogglePort = 32793;
constexpr int kReset = 32792;

// Fills the settings dialog as an operator would, then ends it.
void chooseSettings(CPortSettingDlg* dlg, const QString& port,
                    const QString& baud, bool ok) {
  dlg->comboBox(1009)->setEditText(port);
  dlg->comboBox(1010)->setEditText(baud);
  if (ok) {
    dlg->accept();
  } else {
    QTest::keyClick(dlg, Qt::Key_Escape);
  }
}

}  // namespace

// Each test makes its own dialog and encoders: the fixture gives the log
// and the prompt.
class EncodeDlgPortTest : public MainDialogTest<RecordingPrompt> {
  Q_OBJECT

 private:
  void runSettingsDialog(CEncodeDlg& dlg, const QString& port,
                         const QString& baud, bool ok = true) {
    bool answered = false;
    answerNextModal<CPortSettingDlg>([&](CPortSettingDlg* settings) {
      chooseSettings(settings, port, baud, ok);
      answered = true;
    });
    dlg.OnCommand(kPortSetting);
    QVERIFY(answered);
  }

  // The toolbar button, clicked as the operator does.
  static void clickToolbar(CEncodeDlg& dlg, int id) {
    for (QAction* action : dlg.m_wndToolBar->actions()) {
      if (action->data().toInt() == id) {
        action->trigger();
        return;
      }
    }
    QFAIL("no such toolbar button");
  }

 private slots:
  void init() { prepare(); }
  void cleanup() { tearDown(); }

  void openingWithoutSettingsUsesCom1AtTheInitialLine() {
    SimulatedPort com1(1);
    QVERIFY(com1.started());
    CEncodeDlg dlg;
    dlg.Create();
    dlg.OnCommand(kOpenPort);
    QVERIFY(dlg.m_comm->GetPortOpen());
    QCOMPARE(dlg.m_bPortOpen, TRUE);
    QCOMPARE(dlg.m_comm->GetCommPort(), short(1));
    QCOMPARE(dlg.m_comm->GetSettings(), QString("9600,n,8,1"));
    // Opening shows nothing and sends nothing.
    QVERIFY(com1.settledFrames().isEmpty());
    QVERIFY(m_prompt->messages.isEmpty());
    // Opening an open port does nothing either.
    dlg.OnCommand(kOpenPort);
    QVERIFY(m_prompt->messages.isEmpty());
    QVERIFY(dlg.m_comm->GetPortOpen());
  }

  void resetSendsItsFrameOnlyWithThePortOpen() {
    SimulatedPort com1(1);
    QVERIFY(com1.started());
    CEncodeDlg dlg;
    dlg.Create();
    dlg.OnCommand(kReset);
    QCOMPARE(dlg.m_nSeconds, 0);
    QVERIFY(com1.settledFrames(100).isEmpty());
    dlg.OnCommand(kOpenPort);
    clickToolbar(dlg, 32786);
    QVERIFY(com1.waitForFrames(1));
    QCOMPARE(dlg.m_nSeconds, 20);
    QCOMPARE(com1.settledFrames(), QList<QByteArray>{kResetFrameBytes});
  }

  void toolbarCloseResetsTwiceAndMenuCloseOnce() {
    SimulatedPort com1(1);
    QVERIFY(com1.started());
    CEncodeDlg dlg;
    dlg.Create();

    dlg.OnCommand(kOpenPort);
    clickToolbar(dlg, kTogglePort);  // open from the menu, close here
    QVERIFY(!dlg.m_comm->GetPortOpen());
    QCOMPARE(dlg.m_bPortOpen, FALSE);
    QVERIFY(com1.waitForFrames(2));
    QCOMPARE(com1.settledFrames(),
             QList<QByteArray>({kResetFrameBytes, kResetFrameBytes}));

    com1.encoder().clearReceived();
    clickToolbar(dlg, kTogglePort);  // opens again
    QVERIFY(dlg.m_comm->GetPortOpen());
    QCOMPARE(dlg.m_bPortOpen, TRUE);
    dlg.OnCommand(kClosePort);
    QVERIFY(!dlg.m_comm->GetPortOpen());
    QCOMPARE(dlg.m_bPortOpen, FALSE);
    QVERIFY(com1.waitForFrames(1));
    QCOMPARE(com1.settledFrames(), QList<QByteArray>{kResetFrameBytes});

    // Closing a closed port sends nothing.
    com1.encoder().clearReceived();
    dlg.OnCommand(kClosePort);
    QVERIFY(com1.settledFrames().isEmpty());
    QVERIFY(m_prompt->messages.isEmpty());
  }

  void settingsChangeThePortOfTheNextOpenAndTheLineAtOnce() {
    SimulatedPort com1(1);
    SimulatedPort com3(3);
    QVERIFY(com1.started() && com3.started());
    CEncodeDlg dlg;
    dlg.Create();
    dlg.OnCommand(kOpenPort);  // COM1 is open while the settings change

    runSettingsDialog(dlg, "COM3", "19200");
    QCOMPARE(dlg.m_strPortName, QString("COM3"));
    QCOMPARE(dlg.m_comm->GetSettings(), QString("19200,n,8,1"));
    // The open port stays on COM1.
    dlg.OnCommand(kReset);
    QVERIFY(com1.waitForFrames(1));
    QVERIFY(com3.settledFrames(100).isEmpty());

    dlg.OnCommand(kClosePort);
    dlg.OnCommand(kOpenPort);
    QVERIFY(dlg.m_comm->GetPortOpen());
    QCOMPARE(dlg.m_comm->GetCommPort(), short(3));
    com1.encoder().clearReceived();
    dlg.OnCommand(kReset);
    QVERIFY(com3.waitForFrames(1));
    QCOMPARE(com3.settledFrames(), QList<QByteArray>{kResetFrameBytes});
    QVERIFY(com1.frames().isEmpty());
    QVERIFY(m_prompt->messages.isEmpty());
  }

  void parityDataAndStopBitsAreNotUsed() {
    CEncodeDlg dlg;
    dlg.Create();
    bool answered = false;
    answerNextModal<CPortSettingDlg>([&](CPortSettingDlg* settings) {
      settings->comboBox(1011)->setEditText("EVEN");
      settings->comboBox(1012)->setEditText("7");
      settings->comboBox(1013)->setEditText("2");
      settings->accept();
      answered = true;
    });
    dlg.OnCommand(kPortSetting);
    QVERIFY(answered);
    QCOMPARE(dlg.m_comm->GetSettings(), QString("9600,n,8,1"));
  }

  void anEmptyBaudIsRejectedByTheControlAfterThePortNameChanged() {
    CEncodeDlg dlg;
    dlg.Create();
    runSettingsDialog(dlg, "COM4", "");
    // ",n,8,1" went to the control, which refused it with a message.
    QCOMPARE(m_prompt->messages.size(), 1);
    QVERIFY(!m_prompt->messages[0].text.isEmpty());
    QCOMPARE(m_prompt->messages[0].caption, QString("Velmora"));
    QCOMPARE(dlg.m_strPortName, QString("COM4"));
    QCOMPARE(dlg.m_comm->GetSettings(), QString("9600,n,8,1"));
  }

  void cancelChangesNothingAndTheDialogAlwaysOpensWithItsDefaults() {
    CEncodeDlg dlg;
    dlg.Create();
    runSettingsDialog(dlg, "COM9", "4800");
    runSettingsDialog(dlg, "COM5", "2400", /*ok=*/false);
    QCOMPARE(dlg.m_strPortName, QString("COM9"));
    QCOMPARE(dlg.m_comm->GetSettings(), QString("4800,n,8,1"));

    QString shownPort, shownBaud;
    answerNextModal<CPortSettingDlg>([&](CPortSettingDlg* settings) {
      shownPort = settings->comboBox(1009)->currentText();
      shownBaud = settings->comboBox(1010)->currentText();
      settings->reject();
    });
    dlg.OnCommand(kPortSetting);
    QCOMPARE(shownPort, QString("COM1"));
    QCOMPARE(shownBaud, QString("9600"));
  }

  void portNumbersComeFromTheNameAfterItsFirstThreeCharacters() {
    SimulatedPort com12(12);
    SimulatedPort com2(2);
    QVERIFY(com12.started() && com2.started());
    struct Case {
      QString name;
      SimulatedPort* port;
      short number;
    };
    // "XYZ" is skipped like "COM"; trailing characters end the number; of
    // a long name only 19 characters after the first three are read.
    const QList<Case> cases{
        {"COM12", &com12, 12},
        {"XYZ12", &com12, 12},
        {"COM2 is the encoder", &com2, 2},
        {"COM" + QString(18, '0') + "2" + "7777777", &com2, 2},
        {"COM" + QString(400, '0') + "2", nullptr, 0},
        {"COM", nullptr, 0},
        {"COMx5", nullptr, 0},
    };
    for (const Case& c : cases) {
      CEncodeDlg dlg;
      dlg.Create();
      dlg.m_strPortName = c.name;
      m_prompt->messages.clear();
      dlg.OnCommand(kOpenPort);
      QCOMPARE(dlg.m_comm->GetCommPort(), c.number);
      if (c.port == nullptr) {
        // No number (or nothing but zeros fits): port 0, which the control
        // refuses.
        QCOMPARE(m_prompt->messages.size(), 1);
        QCOMPARE(dlg.m_bPortOpen, FALSE);
        continue;
      }
      QVERIFY2(dlg.m_comm->GetPortOpen(), qPrintable(c.name));
      c.port->encoder().clearReceived();
      dlg.OnCommand(kReset);
      QVERIFY2(c.port->waitForFrames(1), qPrintable(c.name));
    }
  }

  void aNameBeginningWithSlashIsTheDevicePath() {
    SimulatedPort device(40);
    QVERIFY(device.started());
    qunsetenv("ENCODER_COM40");  // reachable only by its path
    CEncodeDlg dlg;
    dlg.Create();
    runSettingsDialog(dlg, device.path(), "9600");
    dlg.OnCommand(kOpenPort);
    QVERIFY(dlg.m_comm->GetPortOpen());
    dlg.OnCommand(kReset);
    QVERIFY(device.waitForFrames(1));
    QCOMPARE(device.settledFrames(), QList<QByteArray>{kResetFrameBytes});
  }

  void aMissingDeviceIsReportedAndThePortStaysClosed() {
    QTemporaryDir dir;
    const QString missing = dir.filePath("no-such-tty");
    qputenv("ENCODER_COM7", missing.toLocal8Bit());
    CEncodeDlg dlg;
    dlg.Create();
    dlg.m_strPortName = "COM7";
    dlg.OnCommand(kOpenPort);
    qunsetenv("ENCODER_COM7");
    QCOMPARE(m_prompt->messages.size(), 1);
    QVERIFY2(m_prompt->messages[0].text.contains(missing),
             qPrintable(m_prompt->messages[0].text));
    QCOMPARE(dlg.m_bPortOpen, FALSE);
    QVERIFY(!dlg.m_comm->GetPortOpen());
    // The number stays given to the control; the toolbar tries again.
    QCOMPARE(dlg.m_comm->GetCommPort(), short(7));
    clickToolbar(dlg, kTogglePort);
    QCOMPARE(m_prompt->messages.size(), 2);
    QCOMPARE(dlg.m_bPortOpen, FALSE);
  }

  void anUnpluggedDeviceGivesOneMessageAndTheToggleOpensAgain() {
    auto com1 = std::make_unique<SimulatedPort>(1);
    QVERIFY(com1->started());
    CEncodeDlg dlg;
    dlg.Create();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    clickToolbar(dlg, kTogglePort);
    QCOMPARE(dlg.m_bPortOpen, TRUE);

    com1->encoder().unplug();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompt->messages.size(), 1, 3000);
    QTest::qWait(500);  // a flood would show up here
    QCOMPARE(m_prompt->messages.size(), 1);
    QVERIFY(!dlg.m_comm->GetPortOpen());
    QCOMPARE(dlg.m_bPortOpen, FALSE);

    // A new encoder on COM1: the toolbar button opens it again.
    com1.reset();
    com1 = std::make_unique<SimulatedPort>(1);
    QVERIFY(com1->started());
    clickToolbar(dlg, kTogglePort);
    QVERIFY(dlg.m_comm->GetPortOpen());
    dlg.OnCommand(kReset);
    QVERIFY(com1->waitForFrames(1));
    QCOMPARE(m_prompt->messages.size(), 1);
    dlg.done(0);
  }
};

QTEST_MAIN(EncodeDlgPortTest)
#include "encode_dlg_port_test.moc"
