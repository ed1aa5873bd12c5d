// Construction of the main dialog, its window from template 102, and the
// routing of menu and toolbar commands.
#include "encode_dlg.h"

#include <QLabel>
#include <QMenuBar>
#include <QToolBar>
#include <stdexcept>

#include "app_info.h"
#include "dialog_builder.h"
#include "dialog_units.h"
#include "handler_guard.h"
#include "main_dialog_template.h"
#include "main_menu.h"
#include "mscomm.h"
#include "program_icon.h"
#include "resource_ids.h"
#include "track_edit.h"

namespace {

// The main dialog's own controls: the track fields and the serial control.
QWidget* makeMainDialogControl(const ControlTemplate& entry, QWidget* parent) {
  switch (entry.kind) {
    case ControlKind::TrackEdit: return new CTrackEdit(parent);
    case ControlKind::SerialControl: {
      auto* comm = new CMSComm(parent);
      comm->hide();  // a control without a face at run time
      return comm;
    }
    default: throw std::logic_error("the main dialog has no such control");
  }
}

}  // namespace

CEncodeDlg::CEncodeDlg(QWidget* parent)
    : QDialog(parent), m_strLogPath(operationLogPath()) {
  // Loaded before the window exists, like every other initial value.
  m_hIcon = programIcon();
  // Fixed size: caption, window menu and a minimise box, no maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(app_info::kMainCaption);
}

CEncodeDlg::~CEncodeDlg() = default;

int CEncodeDlg::DoModal() {
  Create();
  return exec();
}

void CEncodeDlg::Create() {
  if (m_created) return;
  m_created = true;
  BuildFromTemplate();
  OnInitDialog();
}

void CEncodeDlg::BuildFromTemplate() {
  m_menuBar = createMainMenu(this, [this](int id) { OnCommand(id); });
  m_client = new QWidget(this);
  m_client->setObjectName(QStringLiteral("client"));
  m_client->setFont(mainDialogFont());
  const DialogBaseUnits units = dialogBaseUnits(m_client->font());

  createControls(mainDialogTemplate(), m_client, units, makeMainDialogControl);

  const QSize clientSize =
      dluToPixels(units, QRect(QPoint(0, 0), kMainDialogSizeDlu)).size();
  const int menuHeight = m_menuBar->sizeHint().height();
  m_menuBar->setGeometry(0, 0, clientSize.width(), menuHeight);
  m_client->setGeometry(0, menuHeight, clientSize.width(), clientSize.height());
  setFixedSize(clientSize.width(), menuHeight + clientSize.height());
  WireTrackFields();
}

QWidget* CEncodeDlg::GetDlgItem(int id) const {
  return m_client != nullptr ? findControl(m_client, id) : nullptr;
}

void CEncodeDlg::SetCaptionNote(const QString& note) {
  m_captionNote = note;
  setWindowTitle(note.isEmpty()
                     ? app_info::kMainCaption
                     : app_info::kMainCaption + QStringLiteral(" - ") + note);
}

void CEncodeDlg::OnCommand(int commandId) {
  runGuarded(this, [this, commandId] {
    switch (commandId) {
      case ids::kOpenPort: OnOpenPort(); break;
      case ids::kClosePort: OnClosePort(); break;
      case ids::kToolTogglePort: OnTogglePort(); break;
      case ids::kPortSetting: OnSerialPortSetting(); break;
      case ids::kReset:
      case ids::kToolReset: OnReset(); break;
      case ids::kWriteCard:
      case ids::kToolWriteCard: OnWriteCard(); break;
      case ids::kReadCard:
      case ids::kToolReadCard: OnReadCard(); break;
      case ids::kEraseCard:
      case ids::kToolEraseCard: OnEraseCard(); break;
      case ids::kSaveLog:
      case ids::kToolSaveLog: SaveToOperatorLog(); break;
      case ids::kTrack2Density: OnTrack2Density(); break;
      case ids::kExit: OnExit(); break;
      default: break;
    }
  });
}
