#include "data_file_watch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <algorithm>
#include <cerrno>

namespace {

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

int DataFileWatch::start(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  m_size = info.st_size;
  m_modified = info.st_mtim;
  m_changed = info.st_ctim;
  m_takenBytes = 0;
  m_linesTaken = 0;
  m_unendedLine = 0;
  m_unendedLineEnd = 0;
  m_takenHash.reset();
  return 0;
}

void DataFileWatch::taken(QByteArrayView line, QByteArrayView ending) {
  m_takenBytes += line.size() + ending.size();
  m_takenHash.addData(line);
  m_takenHash.addData(ending);
  ++m_linesTaken;
  if (ending.isEmpty() && m_unendedLine == 0) {
    m_unendedLine = m_linesTaken;
    m_unendedLineEnd = m_takenBytes;
  }
}

DataFileWatch::Change DataFileWatch::check(int fd) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) return Change::Rewritten;
  if (now.st_size < m_size) return Change::CutShort;
  const bool moved = now.st_size != m_size ||
                     !sameTime(now.st_mtim, m_modified) ||
                     !sameTime(now.st_ctim, m_changed);
  if (moved) {
    if (!takenBytesStillIn(fd)) return Change::Rewritten;
    m_size = now.st_size;
    m_modified = now.st_mtim;
    m_changed = now.st_ctim;
  }
  // That line was taken up to the end of the file as it was then: any
  // byte behind it now may be the rest of the line.
  if (m_unendedLine != 0 && now.st_size > m_unendedLineEnd)
    return Change::LastLineGrew;
  return Change::None;
}

bool DataFileWatch::takenBytesStillIn(int fd) {
  QCryptographicHash inFile(QCryptographicHash::Sha256);
  QByteArray buffer(64 * 1024, Qt::Uninitialized);
  for (qint64 offset = 0; offset < m_takenBytes;) {
    const qint64 want = std::min<qint64>(buffer.size(), m_takenBytes - offset);
    const ssize_t n =
        ::pread(fd, buffer.data(), static_cast<size_t>(want), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    inFile.addData(QByteArrayView(buffer.constData(), n));
    offset += n;
  }
  // The running hash goes on after its result is read.
  return inFile.result() == m_takenHash.result();
}
