// The menu, the toolbar and its tooltips, the window menu with the about
// box, and the tab order.
#include <QAction>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include "about_box.h"
#include "app_test_support.h"
#include "dialog_builder.h"
#include "encode_dlg.h"
#include "main_menu.h"
#include "string_table.h"

namespace {

// A menu as "text=id" items, separators as "-".
QStringList describe(const QMenu* menu) {
  QStringList items;
  for (const QAction* action : menu->actions()) {
    items << (action->isSeparator()
                  ? QString("-")
                  : action->text() + "=" + action->data().toString());
  }
  return items;
}

}  // namespace

class EncodeDlgMenuToolBarTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { m_log = std::make_unique<PrivateLogPath>(); }
  void cleanup() { m_log.reset(); }

  void theMenuHasEveryItemInOrder() {
    CEncodeDlg dlg;
    dlg.Create();
    const QList<QAction*> popups = dlg.menuBar()->actions();
    QCOMPARE(popups.size(), 3);
    QCOMPARE(popups[0]->text(), QString("File"));
    QCOMPARE(popups[1]->text(), QString("Operation"));
    QCOMPARE(popups[2]->text(), QString("Options"));
    QCOMPARE(describe(popups[0]->menu()),
             QStringList({"ConnectDivice=32771", "-", "ConnectDivice=32772",
                          "-", "SaveToOperatorLog=32773", "-", "Exit=32774"}));
    QCOMPARE(describe(popups[1]->menu()),
             QStringList({"WriteCard=32775", "-", "ReadCard=32776", "-",
                          "EraseCard=32778", "-", "Reset=32792"}));
    QCOMPARE(describe(popups[2]->menu()),
             QStringList({"Serial Port Setting=32779", "-", "-",
                          "Second track density settings of card=32781"}));
    // Nothing is ever disabled.
    for (QAction* popup : popups) {
      for (const QAction* action : popup->menu()->actions()) {
        QVERIFY(action->isEnabled());
      }
    }
  }

  // QMenu hides a separator that follows another unless told not to; what
  // is laid out for drawing is what counts, not the action list.
  void everySeparatorIsDrawn() {
    CEncodeDlg dlg;
    dlg.Create();
    const QList<QAction*> popups = dlg.menuBar()->actions();
    const QList<int> separatorRows{3, 3, 2};  // File, Operation, Options
    QCOMPARE(popups.size(), separatorRows.size());
    for (int i = 0; i < popups.size(); ++i) {
      QMenu* menu = popups[i]->menu();
      menu->adjustSize();
      QList<QRect> rows;
      for (QAction* action : menu->actions()) {
        const QRect drawn = menu->actionGeometry(action);
        if (action->isSeparator() && drawn.height() > 0) rows << drawn;
      }
      QCOMPARE(rows.size(), separatorRows[i]);
      for (int r = 1; r < rows.size(); ++r)
        QVERIFY(rows[r].top() >= rows[r - 1].bottom());  // one row each
    }
  }

  void theToolBarHasSixButtonsWithTheirImagesAndTooltips() {
    CEncodeDlg dlg;
    dlg.Create();
    QToolBar* bar = dlg.m_wndToolBar;
    QVERIFY(bar != nullptr);
    QCOMPARE(controlId(bar), 0xE800);
    QCOMPARE(bar->iconSize(), QSize(21, 18));

    const QPixmap strip = toolBarStrip();
    QCOMPARE(strip.size(), QSize(126, 18));

    const QList<int> expectedIds{32793, 32786, 32787, 32788, 32789, 32791};
    const QStringList expectedTips{"Open or close serial port",
                                   "Reset",
                                   "Read Magnetic Card",
                                   " Write Magnetic Card",
                                   "Erase  information of Magnetic card",
                                   "Save operation log"};
    const QList<QAction*> actions = bar->actions();
    QCOMPARE(actions.size(), 6);  // and no separators
    QList<QImage> images;
    for (int i = 0; i < actions.size(); ++i) {
      QAction* action = actions[i];
      QVERIFY(!action->isSeparator());
      QCOMPARE(action->data().toInt(), expectedIds[i]);
      auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action));
      QVERIFY(button != nullptr);
      // What the pointer shows when it rests on the button.
      QCOMPARE(button->toolTip(), expectedTips[i]);
      QCOMPARE(button->focusPolicy(), Qt::NoFocus);
      const QImage image = action->icon().pixmap(QSize(21, 18)).toImage();
      QCOMPARE(image.size(), QSize(21, 18));
      QCOMPARE(image, strip.copy(i * 21, 0, 21, 18)
                          .toImage()
                          .convertToFormat(image.format()));
      images << image;
    }
    // Six different pictures.
    for (int i = 0; i < images.size(); ++i) {
      for (int j = i + 1; j < images.size(); ++j)
        QVERIFY(images[i] != images[j]);
    }
  }

  void tooltipsAreTheSecondLineOfTheirStrings() {
    QCOMPARE(extractSubString("prompt\ntip", 1), QString("tip"));
    QCOMPARE(extractSubString("\ntip\nthird", 1), QString("tip"));
    QCOMPARE(extractSubString("\ntip\nthird", 2), QString("third"));
    QCOMPARE(extractSubString("no break", 1), QString());
    QCOMPARE(extractSubString("no break", 0), QString("no break"));
    QCOMPARE(toolTipText(0), QString());     // a separator
    QCOMPARE(toolTipText(4242), QString());  // no string with that id
    QCOMPARE(toolTipText(32788), QString(" Write Magnetic Card"));
    // The about item has no line break: no tooltip.
    QCOMPARE(toolTipText(101), QString());
    QCOMPARE(loadResourceString(101), QString("关于 Velmora(&A)..."));
  }

  void theWindowMenuEndsWithTheAboutItem() {
    CEncodeDlg dlg;
    dlg.Create();
    QMenu* menu = dlg.windowMenu();
    QVERIFY(menu != nullptr);
    QCOMPARE(describe(menu), QStringList({"Minimize=61472", "Close=61536", "-",
                                          "关于 Velmora(&A)...=16"}));
  }

  void altSpaceAndARightClickOnAnEmptyPlaceOpenTheWindowMenu() {
    CEncodeDlg dlg;
    dlg.Create();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QMenu* menu = dlg.windowMenu();

    QTest::keyClick(&dlg, Qt::Key_Space, Qt::AltModifier);
    QTRY_VERIFY(menu->isVisible());
    menu->hide();

    // A right click on a label is not on an empty place.
    QWidget* label = dlg.GetDlgItem(1011);
    QContextMenuEvent onLabel(QContextMenuEvent::Mouse, QPoint(2, 2),
                              label->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(label, &onLabel);
    QTest::qWait(20);
    QVERIFY(!menu->isVisible());

    // Inside the first group box, away from every control.
    QGroupBox* group = dlg.clientArea()->findChildren<QGroupBox*>().value(0);
    QVERIFY(group != nullptr);
    const QPoint inside(group->width() - 4, group->height() - 4);
    QCOMPARE(dlg.clientArea()->childAt(group->mapTo(dlg.clientArea(), inside)),
             group);
    QContextMenuEvent onGroup(QContextMenuEvent::Mouse, inside,
                              group->mapToGlobal(inside));
    QApplication::sendEvent(group, &onGroup);
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
    dlg.done(0);
  }

  void theAboutBoxOpensAndClosesLeavingTheDialogAsItWas() {
    CEncodeDlg dlg;
    dlg.Create();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.m_strTrack1 = "KEEP";
    dlg.UpdateData(false);

    QStringList seen;
    bool answered = false;
    answerNextModal<CAboutBox>([&](CAboutBox* about) {
      seen << about->windowTitle();
      for (QLabel* label : about->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) seen << label->text();
      }
      auto* ok = qobject_cast<QPushButton*>(findControl(about, 1));
      QVERIFY(ok != nullptr);
      QVERIFY(ok->isDefault());
      QCOMPARE(ok->text(), QString("OK"));
      QTest::keyClick(about, Qt::Key_Escape);
      answered = true;
    });
    // The about command id with its low four bits set still reaches it.
    dlg.OnSysCommand(0x0010 | 0x3);
    QVERIFY(answered);
    QCOMPARE(seen.value(0), QString("关于 Velmora"));
    QVERIFY(seen.contains("Velmora 1.0 版"));
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.UpdateData(true));
    QCOMPARE(dlg.m_strTrack1, QByteArray("KEEP"));
    dlg.done(0);
  }

  void tabOrderFollowsTheTemplate() {
    CEncodeDlg dlg;
    dlg.Create();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QList<int> expected{1001, 1004, 1005, 1006, 1007, 1008,
                              1013, 1018, 1029, 1019, 1020, 1021,
                              1022, 1024, 1025, 1026, 1027, 1028};
    QWidget* first = dlg.GetDlgItem(1001);
    first->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), first);
    QList<int> visited{controlId(first)};
    for (int i = 1; i < expected.size() + 1; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      visited << controlId(QApplication::focusWidget());
    }
    // Once around, back at the start: the toolbar, the radio buttons and
    // the hidden serial control are no tab stops.
    QCOMPARE(visited, expected + QList<int>{1001});
    dlg.done(0);
  }

 private:
  std::unique_ptr<PrivateLogPath> m_log;
};

QTEST_MAIN(EncodeDlgMenuToolBarTest)
#include "encode_dlg_menu_toolbar_test.moc"
