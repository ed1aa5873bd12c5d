// The application object: it owns the QApplication, runs the main dialog
// modally from InitInstance and ends when the dialog ends.
#pragma once

#include <QApplication>
#include <QString>
#include <memory>

class SimulatedDevice;

struct AppOptions {
  /// Run against a simulated encoder, mapped to COM1.
  bool simulate = false;
  /// Save a picture of the main window to this file and end.
  QString screenshotPath;
};

class CEncodeApp {
 public:
  CEncodeApp(int& argc, char** argv);
  ~CEncodeApp();

  /// The command-line usage, printed by --help before any display is
  /// needed.
  static const char* usageText();

  /// Reads the command line, then runs InitInstance. Returns the exit
  /// code.
  int Run();

  /// Runs the main dialog. Always false: the program ends when the
  /// dialog ends, without a message loop of its own.
  bool InitInstance(const AppOptions& options);

 private:
  QApplication m_app;
  std::unique_ptr<SimulatedDevice> m_simulated;
  bool m_screenshotSaved = true;
};
