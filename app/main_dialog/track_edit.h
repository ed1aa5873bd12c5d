// The edit class of the track 2 and track 3 data fields. It narrows the
// characters the operator may type to those the tracks can carry: digits,
// the six characters ":" to "?", "#", the apostrophe and backspace. Any
// other typed character, control characters included, is dropped without
// a sound. Text set by the program or pasted through the context menu is
// not filtered.
#pragma once

#include "multi_line_edit.h"

class CTrackEdit : public MultiLineEdit {
  Q_OBJECT
 public:
  using MultiLineEdit::MultiLineEdit;

  /// Whether the filter lets this typed character through.
  [[nodiscard]] static bool passesFilter(QChar c);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
};
