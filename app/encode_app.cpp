#include "encode_app.h"

#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>

#include "app_info.h"
#include "encode_dlg.h"
#include "prompt.h"
#include "simulated_device.h"

namespace {

// Long enough for the window to be laid out and painted once.
constexpr int kScreenshotDelayMs = 500;

// While a screenshot is taken nobody is there to close a box: a note goes
// to stderr instead, and a file dialog counts as cancelled.
class StderrPrompt : public Prompt {
 public:
  int messageBox(QWidget*, const QString& text, const QString&) override {
    std::fprintf(stderr, "velmora: %s\n", text.toUtf8().constData());
    return kIdOk;
  }
  QString getOpenFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return {};
  }
  QString getSaveFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return {};
  }
};

}  // namespace

CEncodeApp::CEncodeApp(int& argc, char** argv) : m_app(argc, argv) {
  QApplication::setApplicationName(app_info::kAppName);
  QApplication::setApplicationVersion(app_info::versionRecord().fileVersion);
}

CEncodeApp::~CEncodeApp() = default;

const char* CEncodeApp::usageText() {
  return "Usage: velmora [options]\n"
         "Reads, writes and erases magnetic stripe cards.\n\n"
         "Options:\n"
         "  -h, --help         Show this text and exit.\n"
         "  -v, --version      Print the version record and exit.\n"
         "  --simulate         Use a simulated encoder, connected as COM1.\n"
         "  --screenshot FILE  Save a picture of the main window to FILE "
         "and exit.\n";
}

int CEncodeApp::Run() {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Reads, writes and erases magnetic stripe cards."));
  parser.addHelpOption();
  // main() answers --version before the GUI starts; listed here for --help.
  const QCommandLineOption version(
      {QStringLiteral("v"), QStringLiteral("version")},
      QStringLiteral("Print the version record and exit."));
  const QCommandLineOption simulate(
      QStringLiteral("simulate"),
      QStringLiteral("Use a simulated encoder, connected as COM1."));
  const QCommandLineOption screenshot(
      QStringLiteral("screenshot"),
      QStringLiteral("Save a picture of the main window to <file> and exit."),
      QStringLiteral("file"));
  parser.addOptions({version, simulate, screenshot});
  parser.process(m_app);

  if (parser.isSet(version)) {
    std::fputs(app_info::versionText().toUtf8().constData(), stdout);
    return 0;
  }
  AppOptions options;
  options.simulate = parser.isSet(simulate);
  options.screenshotPath = parser.value(screenshot);
  if (options.simulate) {
    m_simulated = std::make_unique<SimulatedDevice>();
    QString error;
    if (!m_simulated->start(1, &error)) {
      std::fprintf(stderr, "velmora: cannot start the simulated encoder: %s\n",
                   error.toUtf8().constData());
      return 1;
    }
  }
  StderrPrompt stderrPrompt;
  if (!options.screenshotPath.isEmpty()) installPrompt(&stderrPrompt);
  InitInstance(options);
  installPrompt(nullptr);
  return m_screenshotSaved ? 0 : 1;
}

bool CEncodeApp::InitInstance(const AppOptions& options) {
  auto dlg = std::make_unique<CEncodeDlg>();
  dlg->Create();
  if (m_simulated) {
    dlg->SetCaptionNote(QStringLiteral("simulated encoder on COM1 (%1)")
                            .arg(m_simulated->slavePath()));
  }
  if (!options.screenshotPath.isEmpty()) {
    const QString path = options.screenshotPath;
    CEncodeDlg* window = dlg.get();
    QTimer::singleShot(kScreenshotDelayMs, window, [this, window, path] {
      m_screenshotSaved = window->grab().save(path);
      if (!m_screenshotSaved) {
        std::fprintf(stderr, "velmora: cannot save %s\n",
                     path.toUtf8().constData());
      }
      window->done(QDialog::Rejected);
    });
  }
  dlg->DoModal();
  // The result of the modal run is not used.
  return false;
}
