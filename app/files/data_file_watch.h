// Tells whether a track data file changed under a running batch in any way
// other than growing at its end. A file written over in place (a new list
// saved onto the old one) would otherwise give a card a line spliced from
// old and new bytes, or lines whose numbers were already written.
//
// The bytes taken are compared with the file whenever its size, its
// modification time or its change time moved: a copy that puts the old
// modification time back (cp -p, rsync -t, touch -r, tar) still moves the
// change time, which no program can set. A file only touched, its bytes
// as they were, goes on. (A rewrite within one tick of the file system's
// clock that keeps the size goes unseen: the times are all there is to
// look at without reading the file for every card.)
//
// A last line taken without its line end was the whole line only if the
// file never grows: once the file is longer than the bytes taken, the
// line may have gone on (its end written later), so the card made of it
// may hold only part of its line. That counts as a change too.
#pragma once

#include <sys/types.h>

#include <QByteArrayView>
#include <QCryptographicHash>
#include <ctime>

class DataFileWatch {
 public:
  enum class Change {
    None,          ///< as noted, or only grown at its end
    CutShort,      ///< smaller than noted
    Rewritten,     ///< written over: the bytes taken are no longer in it
    LastLineGrew,  ///< grown behind a line taken without its line end
  };

  /// Notes the file open as `fd` as it is now (size and times), nothing
  /// taken yet. Returns 0 or errno.
  int start(int fd);
  /// Counts a line taken from the file: its bytes, and its line end as
  /// read (empty for a last line without one).
  void taken(QByteArrayView line, QByteArrayView ending);
  /// Compares the file open as `fd` with what was noted. A file whose size
  /// or times moved is taken on (and noted anew) when every byte taken so
  /// far is still in it as it was taken: lines added at its end, or only
  /// its times changed. Checking that costs one read of the part taken,
  /// only then. The identity of the file is not compared: an open
  /// descriptor always reads the file it opened, even once it is deleted
  /// or another is renamed over its name.
  [[nodiscard]] Change check(int fd);
  /// After LastLineGrew: the number of the line taken without its end.
  [[nodiscard]] int unendedLine() const { return m_unendedLine; }

 private:
  [[nodiscard]] bool takenBytesStillIn(int fd);

  off_t m_size = 0;
  timespec m_modified{};
  timespec m_changed{};
  qint64 m_takenBytes = 0;
  int m_linesTaken = 0;
  // The line taken without its line end (0: none yet) and the bytes taken
  // up to its end: the file's size then. Lines read after it do not
  // make it whole.
  int m_unendedLine = 0;
  qint64 m_unendedLineEnd = 0;
  QCryptographicHash m_takenHash{QCryptographicHash::Sha256};
};
