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
