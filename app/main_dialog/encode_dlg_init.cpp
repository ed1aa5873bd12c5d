// The main dialog's initialisation: controls filled in, window menu, icon,
// operation log, toolbar, and the window grown to hold the toolbar.
#include <QAbstractButton>
#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QToolBar>

#include "encode_dlg.h"
#include "handler_guard.h"
#include "main_menu.h"
#include "mscomm.h"
#include "resource_ids.h"
#include "string_table.h"

bool CEncodeDlg::OnInitDialog() {
  // 1. Members into the controls; this attaches the controls and sets the
  //    track fields' limits.
  UpdateData(false);
  if (m_comm != nullptr) {
    connect(m_comm, &CMSComm::portFailed, this, &CEncodeDlg::OnPortFailed);
    connect(m_comm, &CMSComm::OnComm, this,
            [this] { runGuarded(this, [this] { OnCommEvent(); }); });
  }
  m_secondsTimer = new QTimer(this);
  connect(m_secondsTimer, &QTimer::timeout, this,
          [this] { runGuarded(this, [this] { OnTimer(0); }); });
  ConnectButton(ids::kHighCoercivityRadio, &CEncodeDlg::OnHighCoercivity);
  ConnectButton(ids::kLowCoercivityRadio, &CEncodeDlg::OnLowCoercivity);
  // 2. The window menu, with the about item.
  BuildWindowMenu();
  // 3. The program icon, large and small.
  setWindowIcon(m_hIcon);
  // 4. The operation log, created empty (an earlier one kept as ".1").
  //    One that cannot be opened, or that another Velmora holds, stays
  //    closed and is reported once; everything else works without it.
  if (!openCreateAlways(m_logFile, m_strLogPath, &m_logFileError)) {
    ReportLogNotOpened(m_logFileError);
  }
  // 5. and 6. The toolbar above the controls.
  CreateToolBar();
  MakeRoomForToolBar();
  // 7. Focus goes to the first control in tab order when the window shows.
  return true;
}

void CEncodeDlg::BuildWindowMenu() {
  m_windowMenu = new QMenu(this);
  const auto addItem = [this](const QString& text, int id) {
    QAction* action = m_windowMenu->addAction(text);
    action->setObjectName(QString::number(id));
    action->setData(id);
    connect(action, &QAction::triggered, this,
            [this, id] { OnSysCommand(id); });
  };
  addItem(QStringLiteral("Minimize"), ids::kSysMinimize);
  addItem(QStringLiteral("Close"), ids::kSysClose);
  const QString about = loadResourceString(ids::kAboutString);
  if (!about.isEmpty()) {
    m_windowMenu->addSeparator();
    addItem(about, ids::kAboutCommand);
  }
  auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
  connect(shortcut, &QShortcut::activated, this,
          [this] { ShowWindowMenu(mapToGlobal(QPoint(0, 0))); });
  m_client->installEventFilter(this);
}

void CEncodeDlg::CreateToolBar() {
  m_wndToolBar = createMainToolBar(m_client, [this](int id) { OnCommand(id); });
  m_wndToolBar->show();
}

void CEncodeDlg::MakeRoomForToolBar() {
  const QRect client = m_client->rect();
  // The client area left over once the toolbar takes the top of it.
  const int barHeight = m_wndToolBar->sizeHint().height();
  const QRect leftOver = client.adjusted(0, barHeight, 0, 0);
  const QPoint offset = leftOver.topLeft() - client.topLeft();
  for (QObject* child : m_client->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget == nullptr || widget == m_wndToolBar || widget->isWindow()) {
      continue;
    }
    widget->move(widget->pos() + offset);
  }
  const QSize growth = client.size() - leftOver.size();
  m_client->resize(m_client->size() + growth);
  setFixedSize(size() + growth);
  m_wndToolBar->setGeometry(0, 0, client.width(), barHeight);

  // Centre the window on the screen's work area.
  if (const QScreen* target = screen()) {
    QRect frame = geometry();
    frame.moveCenter(target->availableGeometry().center());
    move(frame.topLeft());
  }
}

void CEncodeDlg::ConnectButton(int id, void (CEncodeDlg::*handler)()) {
  auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(id));
  if (button == nullptr) return;
  // Every click runs the handler, also on a button already checked.
  connect(button, &QAbstractButton::clicked, this, [this, handler] {
    runGuarded(this, [this, handler] { (this->*handler)(); });
  });
}
