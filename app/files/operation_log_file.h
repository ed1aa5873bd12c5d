// Where the operation log lives, how it is opened, how a record reaches
// it and how a copy is saved. The log holds card data: its folder is
// private to the user (0700), the file is 0600, it is never opened through
// a symbolic link, and every record is on storage before the program goes
// on, so a card shown as done is in the log after a crash or power loss.
// One program at a time owns a log: it holds an exclusive flock on it for
// as long as it runs, so a second Velmora never empties the log of the
// first.
#pragma once

#include <QByteArray>
#include <QString>

/// The error record of a file open: no error until an open fails.
struct FileError {
  int osError = 0;   ///< errno of the failed call, 0 for none
  QString fileName;  ///< the file the failed open was for
  [[nodiscard]] bool failed() const { return osError != 0; }
};

/// $VELMORA_LOG when set and not empty; otherwise magneticoperate.txt in
/// the "velmora" folder of $XDG_STATE_HOME (an absolute path), else of
/// ~/.local/state.
[[nodiscard]] QString operationLogPath();

/// The running log: an unbuffered descriptor, written only.
class OperationLogFile {
 public:
  OperationLogFile() = default;
  ~OperationLogFile();
  OperationLogFile(const OperationLogFile&) = delete;
  OperationLogFile& operator=(const OperationLogFile&) = delete;

  [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
  [[nodiscard]] QString fileName() const { return m_path; }
  [[nodiscard]] int handle() const { return m_fd; }
  void close();

  /// Appends `record` with one write at the end of the file. When the
  /// write comes up short (a full disk) the file is cut back to where the
  /// record began, so no partial record stays. False with errno in
  /// `osError`; the file stays open, so the next record tries again.
  bool append(const QByteArray& record, int* osError);
  /// Flushes the records appended since the last flush to storage. False
  /// with errno in `osError` when the storage reports an error.
  bool flush(int* osError);
  /// Whether records were appended since the last flush.
  [[nodiscard]] bool hasUnflushedRecords() const { return m_unflushed; }
  /// Empties the log after its records were saved, keeping the lock. The
  /// file is cut through the descriptor that holds the lock, so at no
  /// moment could another program take the log over. Only when the file
  /// at the log's path is no longer the open one (deleted or replaced
  /// meanwhile) is the path opened afresh as openCreateAlways does, the
  /// new file locked before the old one is let go. False (the log closed,
  /// `error` says why) when that fails.
  bool startAfresh(FileError* error);

 private:
  friend bool openCreateAlways(OperationLogFile&, const QString&, FileError*);
  int m_fd = -1;
  QString m_path;
  bool m_unflushed = false;
};

/// Opens `path` for reading and writing, creating it or emptying an
/// existing file, and locks it (flock, exclusive) for as long as `file`
/// holds it. Records still in an existing file (a run that ended without
/// a save) are first kept as `path` + ".1" (0600, replacing an older one,
/// never through a link); an empty file leaves an older ".1" alone.
/// Missing folders on the way are created (0700); the file is left 0600.
/// Refused (the file stays closed and untouched, `error` says why) when
/// another program holds the log (EWOULDBLOCK; so does `file` itself when
/// it holds it already: use startAfresh), the path is a symbolic
/// link (ELOOP), not a regular file (EINVAL, EISDIR), not owned by the user
/// (EPERM), or in a folder that another user owns or that group or others
/// may write to (EACCES); or, with the ".1" file named in `error`, when
/// the earlier records cannot be kept. Records a run left without a save
/// are added at the end of ".1", after those of earlier such runs.
bool openCreateAlways(OperationLogFile& file, const QString& path,
                      FileError* error);

/// Copies the whole file open as `sourceFd` to `target`, replacing a file
/// there: the copy is written to a new file beside the target (0600), flushed
/// to storage and renamed over the target, so an existing target is either
/// replaced whole or left as it was. Refused (EEXIST) when the target is
/// the source itself. False with errno in `osError`. With `keepTarget`,
/// the copy is what the target held (this user's own regular file, never
/// through a link) followed by the source: nothing the target held is lost.
bool saveCopyOf(int sourceFd, const QString& target, int* osError,
                bool keepTarget = false);

/// One line for a message box: why a file operation failed.
[[nodiscard]] QString describeFileError(int osError);
