#include "operation_log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace {

const char kLogFileName[] = "magneticoperate.txt";

QByteArray native(const QString& path) { return QFile::encodeName(path); }

// Creates every missing folder of `dir` with mode 0700. Folders that exist
// keep their mode; the last one is checked before the log goes in it.
int makePrivateDirs(const QString& dir) {
  const QString absolute = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
  const QStringList parts =
      absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  QString path;
  for (const QString& part : parts) {
    path += QLatin1Char('/') + part;
    if (::mkdir(native(path).constData(), 0700) != 0 && errno != EEXIST) {
      return errno;
    }
  }
  return 0;
}

// Another user who may write to the folder could swap the log for a link
// between our checks and our open.
int checkFolderIsPrivate(const QString& dir) {
  struct stat info {};
  if (::stat(native(dir).constData(), &info) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  if (info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) return EACCES;
  return 0;
}

int checkOwnRegularFile(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if (!S_ISREG(info.st_mode)) return EINVAL;
  if (info.st_uid != ::geteuid()) return EPERM;
  return 0;
}

bool writeAll(int fd, const char* data, qsizetype size, int* osError) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
    if (n < 0) {
      if (errno == EINTR) continue;
      *osError = errno;
      return false;
    }
    if (n == 0) {
      *osError = ENOSPC;
      return false;
    }
    data += n;
    size -= n;
  }
  return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

OperationLogFile::~OperationLogFile() { close(); }

void OperationLogFile::close() {
  if (m_fd >= 0) {
    flush(nullptr);
    ::close(m_fd);
  }
  m_fd = -1;
}

bool OperationLogFile::append(const QByteArray& record, int* osError) {
  int ignored = 0;
  if (osError == nullptr) osError = &ignored;
  if (m_fd < 0) {
    *osError = EBADF;
    return false;
  }
  const off_t start = ::lseek(m_fd, 0, SEEK_END);
  if (start < 0) {
    *osError = errno;
    return false;
  }
  if (!writeAll(m_fd, record.constData(), record.size(), osError)) {
    // Whatever part of the record got in is taken out again.
    while (::ftruncate(m_fd, start) != 0 && errno == EINTR) {
    }
    return false;
  }
  m_unflushed = true;
  return true;
}

bool OperationLogFile::flush(int* osError) {
  if (m_fd < 0 || !m_unflushed) return true;
  m_unflushed = false;
  if (::fdatasync(m_fd) != 0) {
    if (osError != nullptr) *osError = errno;
    return false;
  }
  return true;
}

bool OperationLogFile::startAfresh(FileError* error) {
  struct stat held {};
  struct stat named {};
  if (m_fd >= 0 && ::fstat(m_fd, &held) == 0 &&
      ::lstat(native(m_path).constData(), &named) == 0 &&
      sameFile(held, named)) {
    int code = 0;
    while (::ftruncate(m_fd, 0) != 0) {
      if (errno == EINTR) continue;
      code = errno;
      break;
    }
    if (error != nullptr)
      *error = code != 0 ? FileError{code, m_path} : FileError{};
    if (code != 0) close();
    return code == 0;
  }
  return openCreateAlways(*this, m_path, error);
}

bool openCreateAlways(OperationLogFile& file, const QString& path,
                      FileError* error) {
  const auto fail = [&](int osError, const QString& name) {
    file.close();
    if (error != nullptr) *error = FileError{osError, name};
    return false;
  };
  if (path.isEmpty()) return fail(ENOENT, path);
  const QString folder = QFileInfo(path).path();
  if (const int dirError = makePrivateDirs(folder); dirError != 0) {
    return fail(dirError, path);
  }
  if (const int dirError = checkFolderIsPrivate(folder); dirError != 0) {
    return fail(dirError, path);
  }
  // No O_TRUNC here: a file that turns out not to be ours, or to be the
  // log of a Velmora that runs, is left whole.
  const int fd =
      ::open(native(path).constData(),
             O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno, path);
  int checkError = checkOwnRegularFile(fd);
  if (checkError == 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    checkError = errno;
  }
  // Only the lock's holder gets here: the records of a run that ended
  // without a save move to the end of ".1" before the log starts empty.
  QString failedName = path;
  struct stat info {};
  if (checkError == 0 && ::fstat(fd, &info) != 0) checkError = errno;
  if (checkError == 0 && info.st_size > 0) {
    failedName = path + QStringLiteral(".1");
    if (saveCopyOf(fd, failedName, &checkError, true)) failedName = path;
  }
  if (checkError == 0 && ::ftruncate(fd, 0) != 0) checkError = errno;
  // An existing file keeps its mode on truncation; the log must not be
  // readable by others whatever it was before.
  if (checkError == 0 && ::fchmod(fd, 0600) != 0) checkError = errno;
  if (checkError != 0) {
    ::close(fd);
    return fail(checkError, failedName);
  }
  // Records are written with blocking semantics.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // A log held before (re-created after a save) is let go only now that
  // the new one is locked.
  file.close();
  file.m_fd = fd;
  file.m_path = path;
  if (error != nullptr) *error = FileError{};
  return true;
}

namespace {

// Appends all of `fd` to `out`; an errno, or 0.
int copyAll(int fd, int out) {
  int code = 0;
  char buffer[65536];
  for (off_t offset = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (!writeAll(out, buffer, n, &code)) return code;
    offset += n;
  }
}

// Copies what `target` holds to `out` first: nothing when it is missing;
// an errno when it is no file of this user's own.
int copyExisting(const QString& target, int out) {
  const int fd = ::open(native(target).constData(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  int code = checkOwnRegularFile(fd);
  if (code == 0) code = copyAll(fd, out);
  ::close(fd);
  return code;
}

}  // namespace

bool saveCopyOf(int sourceFd, const QString& target, int* osError,
                bool keepTarget) {
  int ignored = 0;
  if (osError == nullptr) osError = &ignored;
  const auto fail = [&](int code) {
    *osError = code;
    return false;
  };
  struct stat sourceInfo {};
  struct stat targetInfo {};
  if (sourceFd < 0) return fail(EBADF);
  if (::fstat(sourceFd, &sourceInfo) != 0) return fail(errno);
  // Copying onto the running log and then emptying it would lose it all.
  if (::stat(native(target).constData(), &targetInfo) == 0 &&
      sameFile(sourceInfo, targetInfo)) {
    return fail(EEXIST);
  }
  QByteArray tempName = native(target) + ".XXXXXX";
  const int out = ::mkostemp(tempName.data(), O_CLOEXEC);
  if (out < 0) return fail(errno);
  int code = keepTarget ? copyExisting(target, out) : 0;
  if (code == 0) code = copyAll(sourceFd, out);
  if (code == 0 && ::fchmod(out, 0600) != 0) code = errno;
  if (code == 0 && ::fsync(out) != 0) code = errno;
  if (::close(out) != 0 && code == 0) code = errno;
  if (code == 0 &&
      ::rename(tempName.constData(), native(target).constData()) != 0) {
    code = errno;
  }
  if (code != 0) {
    ::unlink(tempName.constData());
    return fail(code);
  }
  // The new name itself must reach storage too.
  const QByteArray dir = native(QFileInfo(target).absolutePath());
  if (const int dirFd =
          ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

QString describeFileError(int osError) {
  switch (osError) {
    case ELOOP: return QStringLiteral("it is a symbolic link");
    case EINVAL: return QStringLiteral("it is not a regular file");
    case EPERM: return QStringLiteral("it belongs to another user");
    case EACCES:
      return QStringLiteral(
          "no access, or its folder is not private to this user");
    case EEXIST: return QStringLiteral("it is the running log itself");
    case EWOULDBLOCK: return QStringLiteral("another Velmora is using it");
    default: return QString::fromLocal8Bit(std::strerror(osError));
  }
}
