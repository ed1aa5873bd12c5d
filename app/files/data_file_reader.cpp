#include "data_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QIODevice>
#include <cerrno>

namespace {

DataFileLine failedOrEnd(QIODevice& device) {
  if (auto* file = qobject_cast<QFileDevice*>(&device);
      file != nullptr && file->error() != QFileDevice::NoError) {
    return {DataFileLine::Kind::Failed, {}, file->errorString(), {}};
  }
  return {DataFileLine::Kind::End, {}, {}, {}};
}

}  // namespace

int openDataFile(QFile& file, const QString& path) {
  if (file.isOpen()) file.close();
  const QByteArray native = QFile::encodeName(path);
  // Without O_NONBLOCK the open of a FIFO would wait for a writer, and
  // the window with it. Only a regular file is a data file: a FIFO or a
  // device may never end a line or the file.
  const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = 0;
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    error = EINVAL;
  }
  if (error != 0) {
    ::close(fd);
    return error;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  file.setFileName(path);
  // Unbuffered: the descriptor's offset stays at the end of the lines
  // taken, and no line is served from bytes read before a change.
  if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                 QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return EIO;
  }
  return 0;
}

DataFileLine readDataFileLine(QIODevice& device, qsizetype maxBytes) {
  if (auto* file = qobject_cast<QFileDevice*>(&device)) file->unsetError();
  // Room for the longest line with its CR LF: anything that fills it
  // without an LF is too long whatever follows. (readLine's limit counts
  // a terminating zero.)
  const qint64 room = static_cast<qint64>(maxBytes) + 2;
  QByteArray chunk = device.readLine(room + 1);
  if (chunk.isEmpty()) return failedOrEnd(device);
  QByteArray ending;
  if (chunk.endsWith('\n')) {
    const qsizetype endBytes = chunk.endsWith("\r\n") ? 2 : 1;
    ending = chunk.right(endBytes);
    chunk.chop(endBytes);
  } else if (chunk.size() >= room) {
    return {DataFileLine::Kind::TooLong, {}, {}, {}};
  } else if (auto ended = failedOrEnd(device);
             ended.kind == DataFileLine::Kind::Failed) {
    // A short chunk without LF: the last line, unless the read broke off.
    return ended;
  }
  if (chunk.size() > maxBytes) return {DataFileLine::Kind::TooLong, {}, {}, {}};
  return {DataFileLine::Kind::Line, std::move(chunk), {}, std::move(ending)};
}
