// The main dialog as it opens: every initial text, check and radio state,
// the track fields' limits, the layout under the toolbar, the focus, and
// the operation log created empty.
#include <sys/stat.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QToolBar>
#include <QtTest>

#include "app_test_support.h"
#include "dialog_builder.h"
#include "dialog_units.h"
#include "encode_dlg.h"
#include "main_dialog_template.h"
#include "mscomm.h"
#include "multi_line_edit.h"
#include "track_edit.h"

class EncodeDlgStartupTest : public QObject {
  Q_OBJECT

 private:
  template <typename T>
  T* item(CEncodeDlg& dlg, int id) {
    auto* control = qobject_cast<T*>(dlg.GetDlgItem(id));
    if (control == nullptr)
      qWarning("control %d missing or of another kind", id);
    return control;
  }

 private slots:
  void everyControlShowsItsInitialState() {
    PrivateLogPath log;
    CEncodeDlg dlg;
    dlg.Create();
    QCOMPARE(dlg.windowTitle(), QString("MSR Encode Application"));
    QCOMPARE(dlg.m_strPortName, QString("COM1"));
    // The window's icon: a large and a small image.
    const QList<QSize> sizes = dlg.windowIcon().availableSizes();
    QVERIFY(sizes.contains(QSize(32, 32)));
    QVERIFY(sizes.contains(QSize(16, 16)));

    for (int id : {1001, 1004, 1005, 1018, 1019, 1020, 1022, 1025, 1027}) {
      auto* box = item<QCheckBox>(dlg, id);
      QVERIFY(box != nullptr);
      QVERIFY2(!box->isChecked(), qPrintable(QString::number(id)));
    }
    QCOMPARE(item<QCheckBox>(dlg, 1001)->text(),
             QString("TRACK I DATA LENGTH(76)"));
    QCOMPARE(item<QCheckBox>(dlg, 1027)->text(),
             QString("Write Track 3   Auto increment"));  // three blanks
    QCOMPARE(item<QCheckBox>(dlg, 1019)->text(),
             QString("Write Track 1  Auto increment"));  // two blanks

    // The radio buttons start cleared, are no tab stops, and exclude each
    // other.
    auto* high = item<QRadioButton>(dlg, 1002);
    auto* low = item<QRadioButton>(dlg, 1003);
    QVERIFY(high && low);
    QVERIFY(!high->isChecked() && !low->isChecked());
    QVERIFY((high->focusPolicy() & Qt::TabFocus) == 0);
    QCOMPARE(high->text(), QString("Set High coercivity Card"));
    QCOMPARE(low->text(), QString("Set Low coercivity card"));

    for (int id : {1011, 1012}) {
      QCOMPARE(item<QLabel>(dlg, id)->text(), QString("Status"));
    }
    for (int id : {1014, 1015, 1016}) {
      QCOMPARE(item<QLabel>(dlg, id)->text(), QString("0 byte"));
    }
    auto* time = item<QLabel>(dlg, 1030);
    QCOMPARE(time->text().split('\n'), QStringList({"Time:", "00 Sec"}));
    QVERIFY(time->alignment() & Qt::AlignHCenter);

    for (int id : {1013, 1021, 1026}) {
      QCOMPARE(item<QLineEdit>(dlg, id)->text(), QString("1"));
    }
    // Track 1 is a plain edit field; tracks 2 and 3 have the track class.
    auto* track1 = item<MultiLineEdit>(dlg, 1006);
    QVERIFY(track1 != nullptr);
    QVERIFY(qobject_cast<CTrackEdit*>(track1) == nullptr);
    QVERIFY(item<CTrackEdit>(dlg, 1007) && item<CTrackEdit>(dlg, 1008));
    QCOMPARE(track1->limitText(), 76);
    QCOMPARE(item<CTrackEdit>(dlg, 1007)->limitText(), 104);
    QCOMPARE(item<CTrackEdit>(dlg, 1008)->limitText(), 104);
    for (int id : {1006, 1007, 1008}) {
      QVERIFY(item<MultiLineEdit>(dlg, id)->toPlainText().isEmpty());
    }

    QCOMPARE(item<QPushButton>(dlg, 1029)->text(), QString("Open"));
    QCOMPARE(item<QPushButton>(dlg, 1024)->text(), QString("open"));
    QCOMPARE(item<QPushButton>(dlg, 1028)->text(), QString("Open"));

    // The group boxes have blank captions that leave room for the track
    // boxes on their edges.
    QStringList captions;
    for (QGroupBox* box : dlg.clientArea()->findChildren<QGroupBox*>()) {
      captions << box->title();
    }
    QCOMPARE(captions, QStringList({QString(11, ' '), "  ", " "}));

    // The data bindings attached the controls to their members.
    QCOMPARE(dlg.m_staticTime, item<QLabel>(dlg, 1030));
    QCOMPARE(dlg.m_staticStatus1, item<QLabel>(dlg, 1011));
    QCOMPARE(dlg.m_staticCount3, item<QLabel>(dlg, 1016));
    QCOMPARE(dlg.m_editTrack2, item<CTrackEdit>(dlg, 1007));
    QVERIFY(dlg.m_comm != nullptr);
    QCOMPARE(static_cast<QWidget*>(dlg.m_comm), dlg.GetDlgItem(1010));
    QVERIFY(!dlg.m_comm->GetPortOpen());
    QCOMPARE(dlg.m_comm->GetSettings(), QString("9600,n,8,1"));
  }

  void controlsKeepTheirTemplatePlacesBelowTheToolBar() {
    PrivateLogPath log;
    CEncodeDlg dlg;
    dlg.Create();
    const QFont font = dlg.clientArea()->font();
    QCOMPARE(font.family(), QString("WenQuanYi Micro Hei"));
    QCOMPARE(font.pointSize(), 9);
    const DialogBaseUnits units = dialogBaseUnits(font);
    QVERIFY(units.cx > 0 && units.cy > 0);

    const int toolBarHeight = dlg.m_wndToolBar->height();
    QVERIFY(toolBarHeight >= 18);  // the images are 18 pixels high
    QCOMPARE(dlg.m_wndToolBar->geometry().topLeft(), QPoint(0, 0));
    QCOMPARE(dlg.m_wndToolBar->width(), dlg.clientArea()->width());

    int checked = 0;
    for (const ControlTemplate& entry : mainDialogTemplate()) {
      if (entry.id == kNoControlId) continue;
      QWidget* control = dlg.GetDlgItem(entry.id);
      QVERIFY2(control != nullptr, qPrintable(QString::number(entry.id)));
      const QRect expected =
          dluToPixels(units, entry.dlu).translated(0, toolBarHeight);
      QCOMPARE(control->geometry(), expected);
      ++checked;
    }
    QCOMPARE(checked,
             27);  // controls with an id; group boxes and labels have none

    // The template's places fit what the dialog font draws in them: no
    // caption is cut off.
    for (auto* widget : dlg.clientArea()->findChildren<QWidget*>()) {
      QString text;
      if (auto* button = qobject_cast<QAbstractButton*>(widget))
        text = button->text().remove('&');
      else if (auto* label = qobject_cast<QLabel*>(widget))
        text = label->text();
      for (const QString& line : text.split('\n')) {
        QVERIFY2(
            widget->fontMetrics().horizontalAdvance(line) <= widget->width(),
            qPrintable(line));
      }
    }

    // The window: the template's size, taller by exactly the toolbar's
    // height, under the menu bar.
    const QSize templatePixels =
        dluToPixels(units, QRect(0, 0, 386, 308)).size();
    QCOMPARE(dlg.clientArea()->size(),
             templatePixels + QSize(0, toolBarHeight));
    QCOMPARE(dlg.clientArea()->y(), dlg.menuBar()->height());
    QCOMPARE(dlg.size(), templatePixels +
                             QSize(0, toolBarHeight + dlg.menuBar()->height()));
    QCOMPARE(dlg.minimumSize(), dlg.maximumSize());  // fixed size

    // Centred on the screen's work area.
    const QPoint screenCentre = dlg.screen()->availableGeometry().center();
    QVERIFY(qAbs(dlg.geometry().center().x() - screenCentre.x()) <= 1);
    QVERIFY(qAbs(dlg.geometry().center().y() - screenCentre.y()) <= 1);
  }

  void focusStartsOnTheFirstTabStop() {
    PrivateLogPath log;
    CEncodeDlg dlg;
    dlg.Create();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTRY_COMPARE(QApplication::focusWidget(), dlg.GetDlgItem(1001));
    dlg.done(0);
  }

  void trackFieldsStopTakingCharactersAtTheirLimits() {
    PrivateLogPath log;
    CEncodeDlg dlg;
    dlg.Create();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    struct Case {
      int id;
      int limit;
    };
    for (const Case c : {Case{1006, 76}, Case{1007, 104}, Case{1008, 104}}) {
      auto* edit = item<MultiLineEdit>(dlg, c.id);
      edit->setFocus();
      QTest::keyClicks(edit, QString(c.limit + 5, '7'));
      QCOMPARE(edit->toPlainText(), QString(c.limit, '7'));
      // Deleting one makes room for exactly one more.
      QTest::keyClick(edit, Qt::Key_Backspace);
      QTest::keyClicks(edit, "89");
      QCOMPARE(edit->toPlainText(), QString(c.limit - 1, '7') + "8");
    }
    dlg.done(0);
  }

  void theOperationLogIsCreatedEmptyAndPrivate() {
    PrivateLogPath log;
    {
      QFile earlier(log.path());
      QVERIFY(earlier.open(QIODevice::WriteOnly));
      earlier.write("records of an earlier run\r\n");
      earlier.setPermissions(QFile::ReadOwner | QFile::WriteOwner |
                             QFile::ReadOther);
    }
    CEncodeDlg dlg;
    dlg.Create();
    QVERIFY(dlg.m_logFile.isOpen());
    QVERIFY(!dlg.m_logFileError.failed());
    QCOMPARE(QFileInfo(log.path()).size(), 0);
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(log.path()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);
  }

  void aLogThatCannotBeOpenedIsReportedOnceAndStaysClosed_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("reason");
    // The log's folder would have to be inside a regular file.
    QTest::newRow("inside a regular file") << "not-a-folder/operations.txt"
                                           << "Not a directory";
    QTest::newRow("held by a Velmora that runs")
        << "operations.txt"
        << "another Velmora is using it";
  }
  void aLogThatCannotBeOpenedIsReportedOnceAndStaysClosed() {
    QFETCH(QString, where);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QFile blocker(dir.filePath("not-a-folder"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = dir.filePath(where);
    const QByteArray record("Write operation\r\nTrack 2 data:12345\r\n");
    OperationLogFile running;  // the first Velmora's log
    if (openCreateAlways(running, path, nullptr)) {
      QVERIFY(running.append(record, nullptr));
    }
    qputenv("VELMORA_LOG", path.toLocal8Bit());
    RecordingPrompt prompt;
    CEncodeDlg dlg;
    dlg.Create();
    qunsetenv("VELMORA_LOG");
    QVERIFY(!dlg.m_logFile.isOpen());
    QVERIFY(dlg.m_logFileError.failed());
    QCOMPARE(dlg.m_logFileError.fileName, path);
    // One message names the log and the reason.
    QCOMPARE(prompt.messages.size(), 1);
    QVERIFY2(prompt.messages[0].text.contains(path) &&
                 prompt.messages[0].text.contains(reason),
             qPrintable(prompt.messages[0].text));
    // The running program's log is left as it was, and nothing is kept
    // beside it.
    if (running.isOpen()) {
      QFile log(path);
      QVERIFY(log.open(QIODevice::ReadOnly));
      QCOMPARE(log.readAll(), record);
      QVERIFY(!QFileInfo::exists(path + ".1"));
    }
    // Exit still ends the dialog.
    QSignalSpy finished(&dlg, &QDialog::finished);
    dlg.OnCommand(32774);
    QCOMPARE(finished.count(), 1);
  }
};

QTEST_MAIN(EncodeDlgStartupTest)
#include "encode_dlg_startup_test.moc"
