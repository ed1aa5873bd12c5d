// What the encoder answers: the reply handler sorts read data into the
// track fields, takes the status from the last byte of each event (of a
// write, only from the status answer to its frame) and acts on it (status
// lines, counters, a log record, the next step). The seconds display ends a
// wait after 20 seconds.
#include <QLabel>
#include <QTimer>
#include <optional>

#include "encode_dlg.h"
#include "encoder_protocol.h"
#include "mscomm.h"
#include "prompt.h"
#include "read_reply_parser.h"

namespace {

constexpr int kSecondsBeforeReset = 20;

QString secondsText(int seconds) {
  return QStringLiteral("Time:\n%1Sec").arg(seconds, 2, 10, QLatin1Char('0'));
}

}  // namespace

void CEncodeDlg::OnCommEvent() {
  if (m_comm->GetCommEvent() != CMSComm::comEvReceive) return;
  if (!m_comm->GetPortOpen()) return;  // the event outlived its port
  const QByteArray input = m_comm->GetInput();
  if (m_bReading) {
    ReadParseState state{m_bInTrack1,   m_bInTrack3,   m_bReplyEnded,
                         m_bMarkerByte, m_nReplyCount, m_strTrack1,
                         m_strTrack2,   m_strTrack3};
    const int selection = TrackSelection();
    for (const char byte : input) {
      const auto b = static_cast<unsigned char>(byte);
      // Bytes past the longest reply are dropped unparsed: a babbling
      // line cannot make the texts grow without bound.
      if (m_readReply.take(b)) parseReadByte(selection, b, state);
    }
  }
  if (input.isEmpty()) return;
  // A read's status is the last byte of the event; a write's only the
  // status byte of its status answer, as the protocol's tracker finds it in
  // the bytes since the write frame: 'p' or 'q' after noise, after an 'r'
  // of an earlier command, or after the answer has ended, is no status, and
  // the wait runs on until the seconds display ends it.
  std::optional<protocol::Byte> status;
  if (m_bReading) {
    status = static_cast<protocol::Byte>(input.back());
  } else {
    status = TakeWriteAnswer(input);
  }
  // Nothing is kept from an earlier event: a status kept would otherwise
  // log the same card again for every stray byte that follows it.
  switch (status.value_or(0)) {
    case protocol::kStatusSuccess: m_nReplyStatus = 1; break;
    case protocol::kStatusFailure: m_nReplyStatus = 2; break;
    default: return;
  }
  // A 'p' that does not end a whole reply is noise, not a card: it is
  // taken as a failed read (no record, the card is asked for again). The
  // encoder's own replies are always whole, so a card reads exactly as
  // before, a track longer than its field included (the field's check
  // then says so once, before the next read is sent).
  if (m_nReplyStatus == 1 && m_bReading && !m_readReply.whole()) {
    m_nReplyStatus = 2;
  }
  // A confirmed card's record is written before anything else happens.
  // It is on storage before any message box can open (the end of a batch,
  // a data file that changed, a field's check, a log failure), since the
  // operator may take the box for the card's end; on the plain path, where
  // no box opens, the flush waits until the next read or write frame is
  // out: the encoder cannot answer that frame before another card passes.
  const PromptPrelude flushFirst([this] { FlushOperationLog(); });
  try {
    ActOnReplyStatus();
  } catch (...) {
    FlushOperationLog();
    throw;
  }
  FlushOperationLog();
}

std::optional<protocol::Byte> CEncodeDlg::TakeWriteAnswer(
    const QByteArray& input) {
  if (!m_writeAnswer) return std::nullopt;
  for (const char byte : input) {
    const auto b = static_cast<protocol::Byte>(byte);
    m_writeAnswer->take(b);
    if (!m_writeAnswer->whole()) continue;
    // The byte that ended the answer is its status; the answer is used up,
    // and bytes behind it are no answer to anything.
    m_writeAnswer.reset();
    return b;
  }
  return std::nullopt;
}

void CEncodeDlg::ActOnReplyStatus() {
  const QString blank = QStringLiteral("Status: ");
  if (m_nReplyStatus == 1 && m_bReading) {
    SetStatusLines(QStringLiteral("Status: Read successfully"), blank);
    AppendOperationRecord(Operation::Read);
    ShowByteCounts();
    UpdateData(false);
    m_nReplyStatus = 0;
    OnReadCard();  // the next card
  } else if (m_nReplyStatus == 1) {
    SetStatusLines(blank, QStringLiteral("Status: Write successfully"));
    AppendOperationRecord(Operation::Write);
    ShowByteCounts();
    if (m_bFromFile1 || m_bFromFile2 || m_bFromFile3) {
      m_nReplyStatus = 0;
      AdvanceDataFiles();
    }
    // Otherwise the status stays 1: the next write advances the
    // auto-incrementing tracks first.
  } else if (m_nReplyStatus == 2 && m_bReading) {
    SetStatusLines(QStringLiteral("Status: read failed"), blank);
    m_strTrack1.clear();
    m_strTrack2.clear();
    m_strTrack3.clear();
    ShowByteCounts();
    UpdateData(false);
    m_nReplyStatus = 0;
    OnReadCard();  // try again
  } else if (m_nReplyStatus == 2) {
    SetStatusLines(blank, QStringLiteral("Status: Write card failed"));
    m_nReplyStatus = 0;
    OnWriteCard();  // the same texts again
  }
}

void CEncodeDlg::SetStatusLines(const QString& readLine,
                                const QString& writeLine) {
  m_staticStatus1->setText(readLine);
  m_staticStatus2->setText(writeLine);
}

void CEncodeDlg::ShowByteCounts() {
  const QString format = QStringLiteral("%1 bytes");
  m_staticCount1->setText(format.arg(m_strTrack1.size()));
  m_staticCount2->setText(format.arg(m_strTrack2.size()));
  m_staticCount3->setText(format.arg(m_strTrack3.size()));
}

void CEncodeDlg::OnTimer(int timerId) {
  ++m_nSeconds;
  if (m_nSeconds > kSecondsBeforeReset) {
    m_nSeconds = 0;
    m_staticTime->setText(secondsText(0));
    OnReset();
    KillTimer(timerId);
    return;
  }
  m_staticTime->setText(secondsText(m_nSeconds));
}

void CEncodeDlg::SetTimer(int /*timerId*/, int periodMs) {
  // The dialog has one timer, id 0; starting it again restarts it.
  m_secondsTimer->start(periodMs);
}

void CEncodeDlg::KillTimer(int /*timerId*/) { m_secondsTimer->stop(); }

bool CEncodeDlg::IsTimerRunning() const {
  return m_secondsTimer != nullptr && m_secondsTimer->isActive();
}
