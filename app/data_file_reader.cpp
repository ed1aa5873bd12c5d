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
    return {DataFileLine::Kind::Failed, {}, file->errorString()};
  }
  return {DataFileLine::Kind::End, {}, {}};
}

}  // namespace

int openDataFile(QFile& file, const QString& path) {
  if (file.isOpen()) file.close();
  const QByteArray native = QFile::encodeName(path);
  const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    return error;
  }
  file.setFileName(path);
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
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
  if (chunk.endsWith('\n')) {
    chunk.chop(1);
    if (chunk.endsWith('\r')) chunk.chop(1);
  } else if (chunk.size() >= room) {
    return {DataFileLine::Kind::TooLong, {}, {}};
  } else if (auto ended = failedOrEnd(device);
             ended.kind == DataFileLine::Kind::Failed) {
    // A short chunk without LF: the last line, unless the read broke off.
    return ended;
  }
  if (chunk.size() > maxBytes) return {DataFileLine::Kind::TooLong, {}, {}};
  return {DataFileLine::Kind::Line, std::move(chunk), {}};
}
