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
  return QStringLiteral(
             "%1 %2\n"
             "FileVersion: %2\n"
             "ProductVersion: %3\n"
             "ProductName: %4\n"
             "InternalName: %5\n"
             "OriginalFilename: %6\n"
             "Translation: %7 (Chinese (Simplified, PRC), Unicode)\n")
      .arg(r.productName, r.fileVersion, r.productVersion, r.productName,
           r.internalName, r.originalFilename, r.language);
}

}  // namespace app_info
