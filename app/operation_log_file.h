// Where the operation log lives and how it is opened. The log holds card
// data, so its folder is private to the user (0700) and the file is 0600.
#pragma once

#include <QFile>
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

/// Opens `path` for reading and writing, creating it or emptying an
/// existing file, without denying other programs access. Missing folders
/// on the way are created (0700); the file is left 0600. On failure the
/// file stays closed and `error` (may be null) tells why.
bool openCreateAlways(QFile& file, const QString& path, FileError* error);
