// Commands that send a frame to the encoder and return without waiting:
// read, erase, reset, coercivity and track 2 density. Whatever the encoder
// answers reaches the reply handler.
#include <QByteArray>
#include <QThread>

#include "app_info.h"
#include "density_dlg.h"
#include "encode_dlg.h"
#include "encoder_protocol.h"
#include "mscomm.h"
#include "prompt.h"

namespace {

template <typename Frame>
QByteArray asBytes(const Frame& frame) {
  return QByteArray(reinterpret_cast<const char*>(frame.data()),
                    static_cast<qsizetype>(frame.size()));
}

// The checked tracks as the erase command numbers them.
protocol::Byte eraseTrackCode(BOOL track1, BOOL track2, BOOL track3) {
  return protocol::eraseCodeOf((track1 ? 1 : 0) | (track2 ? 2 : 0) |
                               (track3 ? 4 : 0));
}

// The encoder takes these pauses between frames; they block the window
// like every other part of a command.
constexpr unsigned long kPauseBeforeEraseMs = 50;
constexpr unsigned long kCoercivityPauseMs = 100;

}  // namespace

void CEncodeDlg::SendFrame(const QByteArray& frame) {
  m_writeAnswer.reset();
  m_comm->SetOutput(frame);
}

void CEncodeDlg::OnReadCard() {
  m_bReading = TRUE;
  UpdateData(true);  // a failed check has shown its message; read anyway
  m_strTrack1.clear();
  m_strTrack2.clear();
  m_strTrack3.clear();
  m_bInTrack1 = m_bInTrack3 = m_bReplyEnded = m_bMarkerByte = FALSE;
  m_nReplyCount = m_nReplyStatus = m_nSeconds = 0;
  m_readReply.restart();
  const int selection = TrackSelection();
  if (!m_comm->GetPortOpen()) {
    currentPrompt().messageBox(
        this, QStringLiteral("Please select serial port"), app_info::kAppName);
    return;
  }
  SetTimer(0, m_timerPeriodMs);
  // Tracks 1 and 3 together, and no track, have no read command: the
  // timer ends the wait.
  if (const auto command = protocol::readCommand(selection)) {
    SendFrame(asBytes(*command));
  }
}

void CEncodeDlg::OnEraseCard() {
  OnReset();
  UpdateData(true);
  const protocol::Byte code = eraseTrackCode(m_bTrack1, m_bTrack2, m_bTrack3);
  if (!m_comm->GetPortOpen() || code == 0) return;
  QThread::msleep(kPauseBeforeEraseMs);
  SendFrame(asBytes(protocol::eraseFrame(code)));
}

void CEncodeDlg::OnReset() {
  if (!m_comm->GetPortOpen()) return;
  // A running wait ends at the timer's next tick.
  m_nSeconds = 20;
  SendFrame(asBytes(protocol::kResetFrame));
}

void CEncodeDlg::OnHighCoercivity() {
  SendCoercivity(asBytes(protocol::kHighCoercivityFrame));
}

void CEncodeDlg::OnLowCoercivity() {
  SendCoercivity(asBytes(protocol::kLowCoercivityFrame));
}

void CEncodeDlg::SendCoercivity(const QByteArray& frame) {
  if (!m_comm->GetPortOpen()) return;
  OnReset();
  QThread::msleep(kCoercivityPauseMs);
  SendFrame(frame);
  QThread::msleep(kCoercivityPauseMs);
}

void CEncodeDlg::OnTrack2Density() {
  CDensityDlg dlg(this);
  if (dlg.exec() != QDialog::Accepted) return;
  if (!m_comm->GetPortOpen()) return;
  // Neither choice clicked counts as 210 BPI.
  SendFrame(asBytes(dlg.m_nDensity != 0 ? protocol::kDensity75Frame
                                        : protocol::kDensity210Frame));
}
