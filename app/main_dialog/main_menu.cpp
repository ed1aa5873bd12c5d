#include "main_menu.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>
#include <initializer_list>

#include "app_resources.h"
#include "dialog_builder.h"
#include "string_table.h"

namespace {

struct MenuItem {
  int id;  ///< 0 for a separator
  const char* text;
};

constexpr int kSeparator = 0;

void addPopup(QMenuBar* bar, const char* title,
              std::initializer_list<MenuItem> items, const CommandSink& sink) {
  QMenu* menu = bar->addMenu(QString::fromLatin1(title));
  // Two separators in a row are two lines in this menu, not one.
  menu->setSeparatorsCollapsible(false);
  for (const MenuItem& item : items) {
    if (item.id == kSeparator) {
      menu->addSeparator();
      continue;
    }
    QAction* action = menu->addAction(QString::fromLatin1(item.text));
    action->setObjectName(QString::number(item.id));
    action->setData(item.id);
    const int id = item.id;
    QObject::connect(action, &QAction::triggered, bar,
                     [sink, id] { sink(id); });
  }
}

}  // namespace

QMenuBar* createMainMenu(QWidget* parent, const CommandSink& sink) {
  auto* bar = new QMenuBar(parent);
  bar->setObjectName(QString::number(ids::kMainMenu));
  // Both port items read "ConnectDivice": the first opens, the second
  // closes.
  addPopup(bar, "File",
           {{ids::kOpenPort, "ConnectDivice"},
            {kSeparator, nullptr},
            {ids::kClosePort, "ConnectDivice"},
            {kSeparator, nullptr},
            {ids::kSaveLog, "SaveToOperatorLog"},
            {kSeparator, nullptr},
            {ids::kExit, "Exit"}},
           sink);
  addPopup(bar, "Operation",
           {{ids::kWriteCard, "WriteCard"},
            {kSeparator, nullptr},
            {ids::kReadCard, "ReadCard"},
            {kSeparator, nullptr},
            {ids::kEraseCard, "EraseCard"},
            {kSeparator, nullptr},
            {ids::kReset, "Reset"}},
           sink);
  addPopup(bar, "Options",
           {{ids::kPortSetting, "Serial Port Setting"},
            {kSeparator, nullptr},
            {kSeparator, nullptr},
            {ids::kTrack2Density, "Second track density settings of card"}},
           sink);
  return bar;
}

QPixmap toolBarStrip() {
  initAppResources();
  return QPixmap(QStringLiteral(":/velmora/toolbar.xpm"));
}

QToolBar* createMainToolBar(QWidget* parent, const CommandSink& sink) {
  auto* bar = new QToolBar(parent);
  setControlId(bar, ids::kToolBarWindow);
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setIconSize(kToolBarImageSize);
  bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  const QPixmap strip = toolBarStrip();
  for (std::size_t i = 0; i < kToolBarCommands.size(); ++i) {
    const int id = kToolBarCommands[i];
    const QPixmap image =
        strip.copy(static_cast<int>(i) * kToolBarImageSize.width(), 0,
                   kToolBarImageSize.width(), kToolBarImageSize.height());
    QAction* action = bar->addAction(QIcon(image), QString());
    action->setObjectName(QString::number(id));
    action->setData(id);
    action->setToolTip(toolTipText(id));
    QObject::connect(action, &QAction::triggered, bar,
                     [sink, id] { sink(id); });
    if (QWidget* button = bar->widgetForAction(action)) {
      button->setFocusPolicy(Qt::NoFocus);
    }
  }
  return bar;
}
