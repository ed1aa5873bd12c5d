// Track data files: the Open buttons attach a text file to a track, and
// after every confirmed write in file mode each attached file gives its
// next line for the next card.
#include <QDir>
#include <QLabel>
#include <algorithm>
#include <cerrno>

#include "app_info.h"
#include "data_file_reader.h"
#include "encode_dlg.h"
#include "prompt.h"

namespace {

QString shownPath(const QString& path) {
  return QDir::toNativeSeparators(path);
}

QString tooLongText(const QString& path, int lineNumber) {
  return QStringLiteral(
             "Line %1 of the data file %2 is longer than %3 bytes, too long "
             "for a track; the file is not used.")
      .arg(lineNumber)
      .arg(shownPath(path))
      .arg(kMaxDataLineBytes);
}

QString openFailedText(const QString& path, int error) {
  return QStringLiteral("Cannot open the data file %1: %2.")
      .arg(shownPath(path), error == EINVAL
                                ? QStringLiteral("it is not a regular file")
                                : qt_error_string(error));
}

QString changedText(int track, const QString& path,
                    DataFileWatch::Change change, int lineNumber) {
  const QString how = change == DataFileWatch::Change::CutShort
                          ? QStringLiteral("was cut short")
                          : QStringLiteral(
                                "was changed (only lines added at its end "
                                "can be taken)");
  return QStringLiteral(
             "The data file of track %1 (%2) %3 while the batch ran: line %4 "
             "was not written. The batch stopped; every data file is "
             "closed.")
      .arg(track)
      .arg(shownPath(path), how)
      .arg(lineNumber);
}

QString readFailedText(const QString& path, const QString& reason) {
  return QStringLiteral("Cannot read the data file %1: %2.")
      .arg(shownPath(path), reason);
}

}  // namespace

void CEncodeDlg::OnOpenDataFile(int track) {
  // A failed check is reported by the data exchange; Open goes on.
  UpdateData(true);
  const QString chosen =
      currentPrompt().getOpenFileName(this, QString(), QString(), QString());
  if (chosen.isEmpty()) return;  // cancelled: nothing changes
  Track(track).path = chosen;
  AttachDataFile(track);
  UpdateData(false);
}

void CEncodeDlg::AttachDataFile(int track) {
  TrackMembers t = Track(track);
  // Only the newest file is read: the previous one is closed first.
  t.file.close();
  t.linesTaken = 0;
  if (const int error = openDataFile(t.file, t.path); error != 0) {
    t.fileError = FileError{error, t.path};
    const QString path = t.path;
    DetachDataFile(track);
    currentPrompt().messageBox(this, openFailedText(path, error),
                               app_info::kAppName);
    return;
  }
  t.fileError = FileError{};
  // The file is noted before its first line is read: any change from here
  // on is seen before the next card.
  if (const int error = t.watch.start(t.file.handle()); error != 0) {
    const QString path = t.path;
    DetachDataFile(track);
    currentPrompt().messageBox(this, openFailedText(path, error),
                               app_info::kAppName);
    return;
  }
  const DataFileLine first = readDataFileLine(t.file);
  switch (first.kind) {
    case DataFileLine::Kind::Line:
    case DataFileLine::Kind::End:
      // An empty file gives an empty text and stays attached until the
      // next advance finds its end.
      t.text = first.text;
      if (first.kind == DataFileLine::Kind::Line) {
        t.watch.taken(first.text, first.ending);
        ++t.linesTaken;
      }
      if (t.counter != nullptr) {
        t.counter->setText(QStringLiteral("%1 bytes").arg(t.text.size()));
      }
      return;
    case DataFileLine::Kind::TooLong:
    case DataFileLine::Kind::Failed: {
      const QString path = t.path;
      DetachDataFile(track);
      currentPrompt().messageBox(this,
                                 first.kind == DataFileLine::Kind::TooLong
                                     ? tooLongText(path, 1)
                                     : readFailedText(path, first.error),
                                 app_info::kAppName);
      return;
    }
  }
}

void CEncodeDlg::DetachDataFile(int track) {
  TrackMembers t = Track(track);
  t.file.close();
  t.path.clear();
  t.linesTaken = 0;
}

bool CEncodeDlg::StopBatchIfADataFileChanged(bool lineLoaded) {
  for (int track = 1; track <= 3; ++track) {
    TrackMembers t = Track(track);
    if (t.path.isEmpty() || !t.file.isOpen()) continue;
    const DataFileWatch::Change change = t.watch.check(t.file.handle());
    if (change == DataFileWatch::Change::None) continue;
    int notWritten = lineLoaded ? std::max(t.linesTaken, 1) : t.linesTaken + 1;
    // A line taken without its end may be only part of its line now: its
    // card, written or not, does not hold that line.
    if (change == DataFileWatch::Change::LastLineGrew)
      notWritten = t.watch.unendedLine();
    const QString text = changedText(track, t.path, change, notWritten);
    for (int each = 1; each <= 3; ++each) {
      if (!Track(each).path.isEmpty()) DetachDataFile(each);
    }
    currentPrompt().messageBox(this, text, app_info::kAppName);
    return true;
  }
  return false;
}

void CEncodeDlg::AdvanceDataFiles() {
  // Every attached file gives its next line before a card is written, so
  // no card gets one track's new line beside another track's old one.
  DataFileLine lines[3];
  bool read[3] = {false, false, false};
  bool attached = false;
  for (int track = 1; track <= 3; ++track) {
    TrackMembers t = Track(track);
    if (t.path.isEmpty()) continue;
    if (!t.file.isOpen()) {
      // A path without an open file counts as no data file.
      DetachDataFile(track);
      continue;
    }
    attached = true;
    read[track - 1] = true;
    DataFileLine& line = lines[track - 1];
    line = readDataFileLine(t.file);
    if (line.kind == DataFileLine::Kind::Line) {
      t.watch.taken(line.text, line.ending);
    }
  }
  if (!attached) return;
  // Checked after the lines were read: a line read from a file that was
  // changed meanwhile is never written.
  if (StopBatchIfADataFileChanged(false)) return;

  QByteArray next[3];
  bool gotLine[3] = {false, false, false};
  bool ended[3] = {false, false, false};
  bool broken = false;
  int firstEnded = 0;
  for (int track = 1; track <= 3; ++track) {
    if (!read[track - 1]) continue;
    TrackMembers t = Track(track);
    DataFileLine& line = lines[track - 1];
    switch (line.kind) {
      case DataFileLine::Kind::Line:
        next[track - 1] = std::move(line.text);
        gotLine[track - 1] = true;
        ++t.linesTaken;
        break;
      case DataFileLine::Kind::End:
        ended[track - 1] = true;
        if (firstEnded == 0) firstEnded = track;
        break;
      case DataFileLine::Kind::TooLong:
      case DataFileLine::Kind::Failed: {
        broken = true;
        const QString path = t.path;
        const int lineNumber = t.linesTaken + 1;
        DetachDataFile(track);
        currentPrompt().messageBox(this,
                                   line.kind == DataFileLine::Kind::TooLong
                                       ? tooLongText(path, lineNumber)
                                       : readFailedText(path, line.error),
                                   app_info::kAppName);
        break;
      }
    }
  }

  if (firstEnded == 0 && !broken) {
    for (int track = 1; track <= 3; ++track) {
      if (gotLine[track - 1]) Track(track).text = next[track - 1];
    }
    UpdateData(false);
    OnWriteCard();
    return;
  }

  // The batch ends: every data file is closed and detached and no write
  // starts. A file at its end empties its track's text, but the field
  // keeps showing the last line until the dialog is next refreshed.
  bool othersHadLines = false;
  const QString endedPath =
      firstEnded != 0 ? Track(firstEnded).path : QString();
  for (int track = 1; track <= 3; ++track) {
    TrackMembers t = Track(track);
    othersHadLines = othersHadLines || gotLine[track - 1];
    if (ended[track - 1]) t.text.clear();
    if (!t.path.isEmpty()) DetachDataFile(track);
  }
  if (firstEnded != 0 && othersHadLines) {
    currentPrompt().messageBox(
        this,
        QStringLiteral("The data file of track %1 (%2) has no more lines, "
                       "while another track's file still had some. The "
                       "batch stopped; every data file is closed.")
            .arg(firstEnded)
            .arg(shownPath(endedPath)),
        app_info::kAppName);
  }
}
