#include "app_info.h"

namespace app_info {

const VersionRecord& versionRecord() {
  static const VersionRecord record{
      QStringLiteral("1.0.0.1"),
      QStringLiteral("1.0.0.1"),
      QStringLiteral("Velmora"),
      QStringLiteral("Velmora"),
      QStringLiteral("Velmora.EXE"),
      // Chinese (Simplified, PRC) with the Unicode code page.
      QStringLiteral("080404b0"),
  };
  return record;
}

QString versionText() {
  const VersionRecord& r = versionRecord();
  // The line a Linux user expects first, the version record after.
  return QStringLiteral(
             "velmora %1\n"
             "FileVersion: %1\n"
             "ProductVersion: %2\n"
             "ProductName: %3\n"
             "InternalName: %4\n"
             "OriginalFilename: %5\n"
             "Translation: %6 (Chinese (Simplified, PRC), Unicode)\n")
      .arg(r.fileVersion, r.productVersion, r.productName, r.internalName,
           r.originalFilename, r.language);
}

}  // namespace app_info
