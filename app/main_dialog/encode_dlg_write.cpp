// The write command: the track fields are checked against the track boxes,
// auto-incrementing tracks advance after a confirmed card, and one write
// frame goes to the encoder. The result arrives later as a reply.
#include <QThread>
#include <algorithm>
#include <string>

#include "app_info.h"
#include "encode_dlg.h"
#include "encoder_protocol.h"
#include "mscomm.h"
#include "prompt.h"
#include "track_increment.h"
#include "track_limits.h"

namespace {

const QString kWriteCaption = QStringLiteral("MSR Encoder Program");
constexpr unsigned long kPauseBeforeWriteMs = 20;

void upperCaseAscii(QByteArray& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

// The tracks that must hold data for each selection. With all three
// tracks track 2 may be empty.
bool missingData(int selection, qsizetype len1, qsizetype len2,
                 qsizetype len3) {
  switch (selection) {
    case 1: return len1 == 0;
    case 2: return len2 == 0;
    case 3: return len1 == 0 || len2 == 0;
    case 4: return len3 == 0;
    case 5:
    case 7: return len1 == 0 || len3 == 0;
    case 6: return len2 == 0 || len3 == 0;
    default: return false;
  }
}

}  // namespace

bool CEncodeDlg::IncrementTrackData(QByteArray& text, int length, int step) {
  const qsizetype used = std::clamp<qsizetype>(length, 0, text.size());
  std::string digits(text.constData(), static_cast<std::size_t>(used));
  if (protocol::incrementTrackData(digits, step) ==
      protocol::IncrementOutcome::BelowZero) {
    return false;
  }
  text = QByteArray::fromStdString(digits) + text.mid(used);
  return true;
}

int CEncodeDlg::TrackSelection() const {
  return (m_bTrack1 ? 1 : 0) | (m_bTrack2 ? 2 : 0) | (m_bTrack3 ? 4 : 0);
}

void CEncodeDlg::OnWriteCard() {
  m_bReading = FALSE;
  // A failed check has shown its message; the write goes on with the
  // members as they stand, except that a selected track longer than its
  // field may hold is never sent (the encoder would refuse it, and the
  // retry would send it again and again).
  if (!UpdateData(true)) {
    const bool overLong = (m_bTrack1 && m_strTrack1.size() > kTrack1MaxChars) ||
                          (m_bTrack2 && m_strTrack2.size() > kTrack2MaxChars) ||
                          (m_bTrack3 && m_strTrack3.size() > kTrack3MaxChars);
    if (overLong) return;
  }
  m_nSeconds = 0;
  upperCaseAscii(m_strTrack1);
  const int len1 = static_cast<int>(m_strTrack1.size());
  const int len2 = static_cast<int>(m_strTrack2.size());
  const int len3 = static_cast<int>(m_strTrack3.size());

  const bool anyTrack = m_bTrack1 || m_bTrack2 || m_bTrack3;
  const bool anyAutoInc = m_bAutoInc1 || m_bAutoInc2 || m_bAutoInc3;
  if (anyTrack && anyAutoInc && m_nReplyStatus == 1) {
    struct Advance {
      BOOL selected;
      BOOL autoInc;
      QByteArray& text;
      int length;
      int step;
    };
    Advance tracks[] = {
        {m_bTrack1, m_bAutoInc1, m_strTrack1, len1, m_nStep1},
        {m_bTrack2, m_bAutoInc2, m_strTrack2, len2, m_nStep2},
        {m_bTrack3, m_bAutoInc3, m_strTrack3, len3, m_nStep3},
    };
    // Every track advances, or none does: a number below zero would
    // repeat or invent card numbers.
    QByteArray next[3];
    for (int i = 0; i < 3; ++i) {
      next[i] = tracks[i].text;
      if (!tracks[i].selected || !tracks[i].autoInc) continue;
      if (!IncrementTrackData(next[i], tracks[i].length, tracks[i].step)) {
        currentPrompt().messageBox(
            this,
            QStringLiteral("Track %1: the step %2 would take its number "
                           "below zero. Nothing was written.")
                .arg(i + 1)
                .arg(tracks[i].step),
            app_info::kAppName);
        return;
      }
    }
    for (int i = 0; i < 3; ++i) {
      if (!tracks[i].selected || !tracks[i].autoInc) continue;
      tracks[i].text = next[i];
      UpdateData(false);
      m_nReplyStatus = 0;
    }
  }

  const int selection = TrackSelection();
  if (missingData(selection, len1, len2, len3)) {
    currentPrompt().messageBox(
        this, QStringLiteral("Please input data of card"), kWriteCaption);
    return;
  }
  if (!m_comm->GetPortOpen()) {
    currentPrompt().messageBox(this, QStringLiteral("Please open serial port"),
                               app_info::kAppName);
    UpdateData(false);
    return;
  }
  if (selection == 0) {
    currentPrompt().messageBox(
        this, QStringLiteral("Please select  tracks to write"), kWriteCaption);
    return;
  }
  // A data file changed since its line was taken stops the batch before
  // the card is written (the first card and a retry included).
  if ((m_bFromFile1 || m_bFromFile2 || m_bFromFile3) &&
      StopBatchIfADataFileChanged(true)) {
    return;
  }
  SetTimer(0, m_timerPeriodMs);
  // The encoder needs a moment between frames.
  QThread::msleep(kPauseBeforeWriteMs);
  const protocol::Bytes frame = protocol::writeFrame(
      selection, m_strTrack1.toStdString(), m_strTrack2.toStdString(),
      m_strTrack3.toStdString());
  // Bytes that came before the write frame never answer it. (A read's
  // reply is never dropped so: a read sent again after noise must not lose
  // the card's reply that came meanwhile.)
  m_comm->DiscardInput();
  SendFrame(QByteArray(reinterpret_cast<const char*>(frame.data()),
                       static_cast<qsizetype>(frame.size())));
  m_writeAnswer.emplace(protocol::ReplyTracker::Kind::StatusAnswer);
  UpdateData(false);
}
