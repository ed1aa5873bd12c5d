// The operation log: one record per card the encoder confirmed, and the
// save command that moves the records into a file of the operator's.
#include "app_info.h"
#include "encode_dlg.h"
#include "operation_log_file.h"
#include "prompt.h"

namespace {
const QByteArray kLineEnd("\r\n");
}  // namespace

void CEncodeDlg::AppendOperationRecord(Operation kind) {
  m_strLogRecord = kind == Operation::Read ? QByteArray("Read operation")
                                           : QByteArray("Write operation");
  m_strLogRecord += kLineEnd;
  const struct {
    BOOL selected;
    const char* label;
    const QByteArray& text;
  } lines[] = {{m_bTrack1, "Track 1 data:", m_strTrack1},
               {m_bTrack2, "Track 2 data:", m_strTrack2},
               {m_bTrack3, "Track 3 data:", m_strTrack3}};
  for (const auto& line : lines) {
    if (line.selected) m_strLogRecord += line.label + line.text + kLineEnd;
  }
  // A log that did not open was reported at start-up; nothing goes to it.
  int osError = 0;
  if (m_logFile.isOpen() && !m_logFile.append(m_strLogRecord, &osError)) {
    ReportLogWriteFailed(osError);
  }
  m_strLogRecord.clear();
}

void CEncodeDlg::FlushOperationLog() {
  int osError = 0;
  if (!m_logFile.flush(&osError)) ReportLogWriteFailed(osError);
}

void CEncodeDlg::ReportLogWriteFailed(int osError) {
  // One message at a time: reading goes on while it is open.
  if (m_logFailureShown) return;
  m_logFailureShown = true;
  currentPrompt().messageBox(
      this,
      QStringLiteral("A card's record could not be written to the operation "
                     "log %1: %2. The card itself was done; the next record "
                     "will be tried again.")
          .arg(m_logFile.fileName(), describeFileError(osError)),
      app_info::kAppName);
  m_logFailureShown = false;
}

void CEncodeDlg::SaveToOperatorLog() {
  QString path = currentPrompt().getSaveFileName(
      this, QString(), QString(), QStringLiteral("All Files(*.txt)"));
  if (path.isEmpty()) return;
  if (!path.contains(QStringLiteral(".txt"))) path += QStringLiteral(".txt");
  // The copy lands whole or not at all; only then is the running log
  // emptied, so no record is ever lost to a failed save. It is emptied
  // under the lock it already holds: no second Velmora can take it over
  // in between.
  if (!saveCopyOf(m_logFile.handle(), path, nullptr)) {
    currentPrompt().messageBox(this, QStringLiteral("Save failed"),
                               app_info::kAppName);
    return;
  }
  if (!m_logFile.startAfresh(&m_logFileError)) {
    ReportLogNotOpened(m_logFileError);
  }
}

void CEncodeDlg::ReportLogNotOpened(const FileError& error) {
  currentPrompt().messageBox(
      this,
      QStringLiteral("The operation log %1 cannot be opened: %2. Cards can "
                     "still be read and written, but no record of them is "
                     "kept.")
          .arg(error.fileName, describeFileError(error.osError)),
      app_info::kAppName);
}
