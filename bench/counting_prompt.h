// Velmora's prompts for a benchmark: a message box would stop the run, so
// messages are counted (and echoed when `echo` is set), never shown; the
// Open dialog names the file a benchmark put in `nextOpen`.
#pragma once

#include <QString>
#include <cstdio>
#include <utility>

#include "prompt.h"

class CountingPrompt : public Prompt {
 public:
  QString nextOpen;
  int messages = 0;
  bool echo = true;

  int messageBox(QWidget*, const QString& text, const QString&) override {
    ++messages;
    if (echo) std::fprintf(stderr, "message: %s\n", qPrintable(text));
    return kIdOk;
  }
  QString getOpenFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return std::exchange(nextOpen, QString());
  }
  QString getSaveFileName(QWidget*, const QString&, const QString&,
                          const QString&) override {
    return {};
  }
};
