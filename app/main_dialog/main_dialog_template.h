// Dialog template 102, the main dialog: every control with its id, kind,
// text and place in dialog units. The order is the template's, which is
// also the tab order and the stacking order.
#pragma once

#include <QRect>
#include <QSize>
#include <span>

enum class ControlKind {
  GroupBox,
  CheckBox,       ///< automatic check box, tab stop
  RadioButton,    ///< automatic radio button, no group style, no tab stop
  MultiLineEdit,  ///< multi-line, vertical auto-scroll, border, tab stop
  TrackEdit,      ///< the same, with the track fields' edit class
  NumberEdit,     ///< single line, horizontal auto-scroll, border, tab stop
  SerialControl,  ///< the serial communications control, tab stop
  StaticLeft,
  StaticCentered,
  PushButton,  ///< tab stop
};

/// Controls without an id (group boxes, labels) carry this one.
inline constexpr int kNoControlId = -1;

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;  ///< UTF-8
  QRect dlu;         ///< x, y, width, height in dialog units
};

inline constexpr QSize kMainDialogSizeDlu{386, 308};

[[nodiscard]] std::span<const ControlTemplate> mainDialogTemplate();
