#include "operation_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <cerrno>

namespace {

const char kLogFileName[] = "magneticoperate.txt";

// Creates every missing folder of `dir` with mode 0700. Folders that exist
// keep their mode.
int makePrivateDirs(const QString& dir) {
  const QString absolute = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
  const QStringList parts =
      absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  QString path;
  for (const QString& part : parts) {
    path += QLatin1Char('/') + part;
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

}  // namespace

QString operationLogPath() {
  const QString overridePath = qEnvironmentVariable("VELMORA_LOG");
  if (!overridePath.isEmpty()) return overridePath;
  QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
  if (stateHome.isEmpty() || !QDir::isAbsolutePath(stateHome)) {
    stateHome = QDir::homePath() + QStringLiteral("/.local/state");
  }
  return stateHome + QStringLiteral("/velmora/") +
         QString::fromLatin1(kLogFileName);
}

bool openCreateAlways(QFile& file, const QString& path, FileError* error) {
  if (file.isOpen()) file.close();
  const auto fail = [&](int osError) {
    if (error != nullptr) *error = FileError{osError, path};
    return false;
  };
  if (path.isEmpty()) return fail(ENOENT);
  const QString folder = QFileInfo(path).path();
  if (const int dirError = makePrivateDirs(folder); dirError != 0) {
    return fail(dirError);
  }
  const QByteArray native = QFile::encodeName(path);
  const int fd =
      ::open(native.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno);
  // An existing file keeps its mode on truncation; a log file must not be
  // readable by others whatever it was before. Devices are left alone.
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      (info.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
    const int chmodError = errno;
    ::close(fd);
    return fail(chmodError);
  }
  file.setFileName(path);
  if (!file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered,
                 QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return fail(EIO);
  }
  if (error != nullptr) *error = FileError{};
  return true;
}
