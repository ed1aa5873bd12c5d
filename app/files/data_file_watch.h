// Tells whether a track data file changed under a running batch in any way
// other than growing at its end. A file written over in place (a new list
// saved onto the old one) would otherwise give a card a line spliced from
// old and new bytes, or lines whose numbers were already written.
#pragma once

#include <sys/types.h>

#include <QByteArrayView>
#include <QCryptographicHash>
#include <ctime>

class DataFileWatch {
 public:
  enum class Change {
    None,       ///< as noted, or only grown at its end
    CutShort,   ///< smaller than noted
    Rewritten,  ///< written over: same size with a new modification time,
                ///< or grown while the bytes taken are no longer in it
  };

  /// Notes the file open as `fd` as it is now (size and modification
  /// time), nothing taken yet. Returns 0 or errno.
  int start(int fd);
  /// Counts a line taken from the file: its bytes and line end as read.
  void taken(QByteArrayView bytes);
  /// Compares the file open as `fd` with what was noted. A file that grew
  /// is taken on (and noted anew) when every byte taken so far is still in
  /// it as it was taken: lines added at its end. Checking that costs one
  /// read of the part taken, only when the file grew. The identity of the
  /// file is not compared: an open descriptor always reads the file it
  /// opened, even once it is deleted or another is renamed over its name.
  [[nodiscard]] Change check(int fd);

 private:
  [[nodiscard]] bool takenBytesStillIn(int fd);

  off_t m_size = 0;
  timespec m_modified{};
  qint64 m_takenBytes = 0;
  QCryptographicHash m_takenHash{QCryptographicHash::Sha256};
};
