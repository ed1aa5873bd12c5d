// A group box drawn as the dialog manager draws one: the frame's top line
// runs through the middle of the caption's line, and the caption (blank
// here, a few spaces) leaves a gap in it for the check box that sits on
// the edge.
#pragma once

#include <QGroupBox>

class GroupFrame : public QGroupBox {
  Q_OBJECT
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
