// Commands that send a frame to the encoder and return without waiting.
#include <QByteArray>

#include "encode_dlg.h"
#include "encoder_protocol.h"
#include "mscomm.h"

namespace {

template <typename Frame>
QByteArray asBytes(const Frame& frame) {
  return QByteArray(reinterpret_cast<const char*>(frame.data()),
                    static_cast<qsizetype>(frame.size()));
}

}  // namespace

void CEncodeDlg::OnReset() {
  if (!m_comm->GetPortOpen()) return;
  // A running wait ends at the timer's next tick.
  m_nSeconds = 20;
  m_comm->SetOutput(asBytes(protocol::kResetFrame));
}
