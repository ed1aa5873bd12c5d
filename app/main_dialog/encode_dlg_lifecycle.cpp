// How the main dialog ends (Exit, Close, Escape), what Enter does, and the
// window menu with the about box.
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>

#include "about_box.h"
#include "encode_dlg.h"
#include "handler_guard.h"
#include "resource_ids.h"

void CEncodeDlg::accept() {
  // The OK action does nothing.
}

void CEncodeDlg::keyPressEvent(QKeyEvent* event) {
  const bool enter =
      event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == 0) {
    // A push button with the focus takes Enter as a click; anywhere else
    // Enter is the dialog's OK action.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
      button->click();
    } else {
      accept();
    }
    event->accept();
    return;
  }
  // Escape: the framework's cancel, ending the dialog without the Exit
  // steps.
  QDialog::keyPressEvent(event);
}

void CEncodeDlg::OnExit() {
  m_logFile.close();
  OnReset();
  done(0);
}

void CEncodeDlg::OnClose(QCloseEvent* event) {
  m_logFile.close();
  OnReset();
  // The default processing ends the dialog with the cancel result.
  event->accept();
  QDialog::closeEvent(event);
}

void CEncodeDlg::closeEvent(QCloseEvent* event) {
  // Unless OnClose gets through to the default processing, the window
  // stays.
  event->ignore();
  runGuarded(this, [this, event] { OnClose(event); });
}

void CEncodeDlg::OnSysCommand(int commandId) {
  runGuarded(this, [this, commandId] {
    if ((commandId & 0xFFF0) == ids::kAboutCommand) {
      CAboutBox about(this);
      about.exec();
    } else if (commandId == ids::kSysMinimize) {
      showMinimized();
    } else if (commandId == ids::kSysClose) {
      close();
    }
  });
}

void CEncodeDlg::ShowWindowMenu(const QPoint& globalPos) {
  m_windowMenu->popup(globalPos);
}

bool CEncodeDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_client && event->type() == QEvent::ContextMenu) {
    // A right click on an empty part of the dialog (the dialog itself or
    // a group box's frame area) opens the window menu.
    auto* menuEvent = static_cast<QContextMenuEvent*>(event);
    QWidget* hit = m_client->childAt(menuEvent->pos());
    if (hit == nullptr || qobject_cast<QGroupBox*>(hit) != nullptr) {
      ShowWindowMenu(menuEvent->globalPos());
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}
