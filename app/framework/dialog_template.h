// Dialog templates: every control of a dialog with its id, kind, text and
// place in dialog units. A template's order is also the tab order and the
// stacking order.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <Qt>
#include <span>

enum class ControlKind {
  GroupBox,            ///< drawn as the dialog manager draws one
  CaptionedGroupBox,   ///< a group box with a caption, drawn by the style
  CheckBox,            ///< automatic check box, tab stop
  RadioButton,         ///< automatic radio button, no group style, no tab stop
  TabStopRadioButton,  ///< automatic radio button, tab stop
  MultiLineEdit,       ///< multi-line, vertical auto-scroll, border, tab stop
  TrackEdit,           ///< the same, with the track fields' edit class
  NumberEdit,     ///< single line, horizontal auto-scroll, border, tab stop
  DropDownCombo,  ///< editable combo box; its height is the dropped list's
  SortedDropDownCombo,  ///< the same, keeping its list sorted
  SerialControl,        ///< the serial communications control, tab stop
  StaticLeft,           ///< wraps at its right edge
  StaticCentered,
  Label,          ///< one line, never wrapped, centred on the line's height
  Icon,           ///< the program icon at its own size, placed by its corner
  PushButton,     ///< tab stop; Enter clicks it only while it has the focus
  DefaultButton,  ///< the dialog's default push button, tab stop
  AutoDefaultButton,  ///< a push button that takes Enter with the focus
};

/// Controls without an id (group boxes, labels) carry this one.
inline constexpr int kNoControlId = -1;
/// The buttons that end a dialog, accepting or rejecting it.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;  ///< UTF-8
  QRect dlu;         ///< x, y, width, height in dialog units
};

/// The frame of a modal dialog: caption, window menu and a close box.
inline constexpr Qt::WindowFlags kModalDialogFrame =
    Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowCloseButtonHint;

/// A dialog window: caption, frame, client size, font and controls.
struct DialogTemplate {
  const char* caption;  ///< UTF-8
  Qt::WindowFlags flags;
  QSize sizeDlu;  ///< the client area
  QFont (*font)();
  std::span<const ControlTemplate> controls;
};
