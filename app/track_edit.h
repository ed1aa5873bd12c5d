// The edit class of the track 2 and track 3 data fields. It narrows the
// characters the operator may type to those the tracks can carry.
#pragma once

#include "multi_line_edit.h"

class CTrackEdit : public MultiLineEdit {
  Q_OBJECT
 public:
  using MultiLineEdit::MultiLineEdit;
};
