// Command and event handlers run inside this guard. A call that the serial
// control (or a file operation) rejects throws; the guard ends the handler
// there, keeps whatever it changed before, and shows the error's text in a
// message box, as the dialog framework does.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QWidget>
#include <exception>
#include <utility>

#include "prompt.h"

template <typename Handler>
void runGuarded(QWidget* owner, Handler&& handler) {
  try {
    std::forward<Handler>(handler)();
  } catch (const std::exception& error) {
    currentPrompt().messageBox(owner, QString::fromUtf8(error.what()),
                               QCoreApplication::applicationName());
  }
}
