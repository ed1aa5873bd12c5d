// Reads a track data file one line at a time: one line is the text of one
// card. Lines end at LF; a CR right before the LF is dropped; a last line
// without LF is still a line (while a batch runs, a file that then grows
// stops it: DataFileWatch); every other byte is kept as it is. A line
// longer than any track can hold (a binary file chosen by mistake) is
// refused instead of loaded, so the window never stalls on it.
#pragma once

#include <QByteArray>
#include <QString>

class QFile;
class QIODevice;

/// Opens `path` read-only into `file` (closing what it held), without
/// locking it against other programs and without waiting. Returns 0, or
/// the errno of the failure (EISDIR for a folder, EINVAL for anything else
/// that is not a regular file, such as a FIFO); `file` is then closed.
/// Once open, the file chosen is the one read: deleted or replaced (a new
/// file renamed over its name) meanwhile, it is still read to its end
/// through the open descriptor, as POSIX keeps it. Nothing is read ahead
/// of the line taken: each line comes from the file as it is when the
/// line is taken, never from a copy read before the file changed.
[[nodiscard]] int openDataFile(QFile& file, const QString& path);

/// Longest line taken, in bytes (without its line end).
inline constexpr qsizetype kMaxDataLineBytes = 64 * 1024;

struct DataFileLine {
  enum class Kind {
    Line,     ///< `text` holds the next line
    End,      ///< no line is left
    TooLong,  ///< the next line is longer than the bound
    Failed,   ///< the device reported an error; `error` says which
  };
  Kind kind = Kind::End;
  QByteArray text;
  QString error;
  QByteArray ending;  ///< the line's end as read: "\n", "\r\n" or none
};

/// The next line of `device` (open for reading), at most `maxBytes` long.
[[nodiscard]] DataFileLine readDataFileLine(
    QIODevice& device, qsizetype maxBytes = kMaxDataLineBytes);
