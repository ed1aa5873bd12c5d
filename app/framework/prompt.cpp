#include "prompt.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {
Prompt* g_installed = nullptr;
}  // namespace

int QtPrompt::messageBox(QWidget* parent, const QString& text,
                         const QString& caption) {
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
  box.exec();
  return kIdOk;
}

QString QtPrompt::getOpenFileName(QWidget* parent, const QString& caption,
                                  const QString& directory,
                                  const QString& filter) {
  return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

QString QtPrompt::getSaveFileName(QWidget* parent, const QString& caption,
                                  const QString& directory,
                                  const QString& filter) {
  return QFileDialog::getSaveFileName(parent, caption, directory, filter);
}

Prompt& currentPrompt() {
  static QtPrompt qtPrompt;
  return g_installed != nullptr ? *g_installed : qtPrompt;
}

void installPrompt(Prompt* prompt) { g_installed = prompt; }

PromptPrelude::PromptPrelude(std::function<void()> before)
    : m_inner(currentPrompt()),
      m_installedBefore(g_installed),
      m_before(std::move(before)) {
  installPrompt(this);
}

PromptPrelude::~PromptPrelude() { installPrompt(m_installedBefore); }

int PromptPrelude::messageBox(QWidget* parent, const QString& text,
                              const QString& caption) {
  m_before();
  return m_inner.messageBox(parent, text, caption);
}

QString PromptPrelude::getOpenFileName(QWidget* parent, const QString& caption,
                                       const QString& directory,
                                       const QString& filter) {
  m_before();
  return m_inner.getOpenFileName(parent, caption, directory, filter);
}

QString PromptPrelude::getSaveFileName(QWidget* parent, const QString& caption,
                                       const QString& directory,
                                       const QString& filter) {
  m_before();
  return m_inner.getSaveFileName(parent, caption, directory, filter);
}
