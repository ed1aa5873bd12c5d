// The main dialog as its tests meet it, afresh for every test function: a
// private log, a prompt that records (or one of the test's own), a folder
// for data files, and the dialog either with its port open on COM1, where a
// simulated encoder answers, or shown on screen with no port. A test class
// derives from it, calls one of the two from init() and tearDown() from
// cleanup().
#pragma once

#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app_test_support.h"
#include "encode_dlg.h"
#include "mscomm.h"
#include "multi_line_edit.h"
#include "resource_ids.h"

template <typename PromptType = RecordingPrompt>
class MainDialogTest : public QObject {
 protected:
  /// The log, the prompt and the folder, without a dialog.
  void prepare() {
    m_log = std::make_unique<PrivateLogPath>();
    m_prompt = std::make_unique<PromptType>();
    m_files = std::make_unique<QTemporaryDir>();
  }
  /// The dialog with its port open on COM1; its timer ticks only when a
  /// test runs a tick.
  void openOnSimulatedCom1() {
    prepare();
    m_port = std::make_unique<SimulatedPort>(1);
    QVERIFY(m_port->started());
    m_dlg = std::make_unique<CEncodeDlg>();
    m_dlg->SetTimerPeriodMs(60000);
    m_dlg->Create();
    m_dlg->OnCommand(ids::kOpenPort);
    QVERIFY(m_dlg->m_comm->GetPortOpen());
  }
  /// The dialog on screen, with no port.
  void showWithoutPort() {
    prepare();
    m_dlg = std::make_unique<CEncodeDlg>();
    m_dlg->Create();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
  }
  /// The dialog goes first, the log last.
  void tearDown() {
    m_dlg.reset();
    m_port.reset();
    m_files.reset();
    m_prompt.reset();
    m_log.reset();
  }

  CEncodeDlg& dlg() { return *m_dlg; }
  sim::SimulatedEncoder& encoder() { return m_port->encoder(); }
  template <typename T>
  T* item(int id) {
    return qobject_cast<T*>(m_dlg->GetDlgItem(id));
  }
  /// The byte counter under a track's field.
  QString counter(int track) { return item<QLabel>(1013 + track)->text(); }
  /// A file in the test's folder; its path, or empty when it was not made.
  QString makeFile(const QString& name, const QByteArray& content) {
    QFile out(m_files->filePath(name));
    if (!out.open(QIODevice::WriteOnly)) return {};
    out.write(content);
    return out.fileName();
  }

  std::unique_ptr<PrivateLogPath> m_log;
  std::unique_ptr<PromptType> m_prompt;
  std::unique_ptr<QTemporaryDir> m_files;
  std::unique_ptr<SimulatedPort> m_port;
  std::unique_ptr<CEncodeDlg> m_dlg;
};
