// Velmora: reads, writes and erases magnetic stripe cards through an
// encoder on a serial port.
#include <cstdio>
#include <cstring>

#include "app_info.h"
#include "encode_app.h"

int main(int argc, char** argv) {
  // The version and the usage need no display, so they are printed
  // before the GUI starts.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0 ||
        std::strcmp(argv[i], "-v") == 0) {
      std::fputs(app_info::versionText().toUtf8().constData(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 ||
        std::strcmp(argv[i], "-h") == 0) {
      std::fputs(CEncodeApp::usageText(), stdout);
      return 0;
    }
  }
  CEncodeApp app(argc, argv);
  return app.Run();
}
