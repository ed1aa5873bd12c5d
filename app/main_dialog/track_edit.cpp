#include "track_edit.h"

#include <QInputMethodEvent>
#include <QKeyEvent>

namespace {

// The characters a key press types into an edit control. Ctrl with a
// letter types that letter's control character (Ctrl+V is 0x16), which
// the filter drops like any other. Keys that type nothing (arrows,
// Delete) and the keys that belong to the dialog (Tab, Enter, Escape)
// give nothing, so they are not the filter's business.
QString typedCharacters(const QKeyEvent& event) {
  switch (event.key()) {
    case Qt::Key_Backspace: return QString(QChar(0x08));
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape: return {};
    default: break;
  }
  const Qt::KeyboardModifiers mods = event.modifiers();
  if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier) &&
      event.key() >= Qt::Key_A && event.key() <= Qt::Key_Z) {
    return QString(QChar(event.key() - Qt::Key_A + 1));
  }
  return event.text();
}

}  // namespace

bool CTrackEdit::passesFilter(QChar c) {
  const char16_t u = c.unicode();
  return (u >= '0' && u <= '9') || (u >= ':' && u <= '?') || u == '#' ||
         u == '\'' || u == 0x08;
}

void CTrackEdit::keyPressEvent(QKeyEvent* event) {
  const QString typed = typedCharacters(*event);
  for (const QChar c : typed) {
    if (!passesFilter(c)) {
      event->accept();  // dropped without a sound
      return;
    }
  }
  MultiLineEdit::keyPressEvent(event);
}

void CTrackEdit::inputMethodEvent(QInputMethodEvent* event) {
  // Text committed by an input method is typed text as well.
  QString kept;
  for (const QChar c : event->commitString()) {
    if (passesFilter(c)) kept += c;
  }
  if (kept == event->commitString()) {
    MultiLineEdit::inputMethodEvent(event);
    return;
  }
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(kept, event->replacementStart(),
                           event->replacementLength());
  MultiLineEdit::inputMethodEvent(&filtered);
}
