// Choosing, opening and closing the serial port.
#include "app_info.h"
#include "encode_dlg.h"
#include "mscomm.h"
#include "port_number.h"
#include "port_setting_dlg.h"
#include "prompt.h"

void CEncodeDlg::OnSerialPortSetting() {
  // A new dialog each time, so it opens with its initial values.
  CPortSettingDlg dlg(this);
  if (dlg.exec() != QDialog::Accepted) return;
  m_strPortName = dlg.m_strPortName;
  // Parity, data bits and stop bits chosen in the dialog are not used.
  m_comm->SetSettings(QStringLiteral("%1,n,8,1").arg(dlg.m_strBaudRate));
}

void CEncodeDlg::OnOpenPort() {
  const short port = PortNumberFromName(m_strPortName);
  if (m_comm->GetPortOpen()) return;
  if (IsDevicePathName(m_strPortName)) {
    // A name beginning with "/" is the device itself.
    m_comm->SetDevicePath(m_strPortName);
  } else {
    m_comm->SetCommPort(port);
  }
  m_comm->SetPortOpen(true);
  m_bPortOpen = TRUE;
}

void CEncodeDlg::OnClosePort() {
  if (!m_comm->GetPortOpen()) return;
  OnReset();
  m_comm->SetPortOpen(false);
  m_bPortOpen = FALSE;
}

void CEncodeDlg::OnTogglePort() {
  if (m_bPortOpen == FALSE) {
    OnOpenPort();
  } else {
    // The encoder gets the reset frame twice: here and in OnClosePort.
    OnReset();
    OnClosePort();
  }
}

void CEncodeDlg::OnPortFailed(const QString& text) {
  // The control has closed the port: the toggle must open it next. The
  // card awaited cannot come any more, so the wait ends here; the texts
  // and data files stay, and the operator starts again after reopening.
  m_bPortOpen = FALSE;
  KillTimer(0);
  currentPrompt().messageBox(this, text, app_info::kAppName);
}
