// The program's name and version record.
#pragma once

#include <QString>

namespace app_info {

/// The application's name: the caption of the framework's messages.
inline const QString kAppName = QStringLiteral("Velmora");
inline const QString kMainCaption = QStringLiteral("MSR Encode Application");

struct VersionRecord {
  QString fileVersion;
  QString productVersion;
  QString productName;
  QString internalName;
  QString originalFilename;
  QString language;  ///< language and code page of the record
};

[[nodiscard]] const VersionRecord& versionRecord();

/// The record as lines of "Field: value" for `velmora --version`.
[[nodiscard]] QString versionText();

}  // namespace app_info
