// Velmora: reads, writes and erases magnetic stripe cards through an
// encoder on a serial port.
#include <QGuiApplication>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app_info.h"
#include "encode_app.h"

namespace {

constexpr const char* kHowToGetADisplay =
    "; run it on a desktop, or without one under xvfb-run (xvfb-run "
    "velmora --simulate)\n";

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt's words about the display while the GUI starts: the first reason is
// kept for the one line printed if the start fails.
QtMessageHandler qtHandler = nullptr;
std::string displayProblem;
std::vector<std::pair<QtMsgType, QString>> heldBack;

void startupMessage(QtMsgType type, const QMessageLogContext& context,
                    const QString& text) {
  const bool aboutThePlatform =
      context.category != nullptr &&
      std::strncmp(context.category, "qt.qpa", 6) == 0;
  if (type == QtFatalMsg && text.contains(QStringLiteral("platform plugin"))) {
    std::fprintf(stderr, "velmora: cannot open the display (%s)%s",
                 displayProblem.empty() ? "no platform plugin started"
                                        : displayProblem.c_str(),
                 kHowToGetADisplay);
    std::_Exit(1);  // instead of Qt's abort
  }
  if (aboutThePlatform && type != QtFatalMsg) {
    if (displayProblem.empty()) displayProblem = text.toStdString();
    heldBack.emplace_back(type, text);
    return;
  }
  if (qtHandler != nullptr) qtHandler(type, context, text);
}

}  // namespace

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
  if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") &&
      !isSet("QT_QPA_PLATFORM")) {
    std::fprintf(stderr,
                 "velmora: needs a graphical display, and neither DISPLAY "
                 "nor WAYLAND_DISPLAY is set%s",
                 kHowToGetADisplay);
    return 1;
  }
  qtHandler = qInstallMessageHandler(startupMessage);
  CEncodeApp app(argc, argv);
  qInstallMessageHandler(qtHandler);
  // The menu entry's name: how a Wayland desktop finds the window's icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.quillon.velmora"));
  // The display opened: what Qt said on the way is shown as it was.
  for (const auto& [type, text] : heldBack) {
    if (type == QtWarningMsg) qWarning("%s", qPrintable(text));
    if (type == QtCriticalMsg) qCritical("%s", qPrintable(text));
  }
  return app.Run();
}
