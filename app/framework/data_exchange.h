// Moves values between a dialog's controls and its members, one binding at
// a time in the order the dialog lists them. Reading from the controls
// validates: the first failing control gets a message and the focus, and
// the transfer stops there with the members before it already updated.
#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>
#include <functional>

#include "win_types.h"

class QWidget;

/// Thrown to stop a transfer at a control that failed its check.
struct DataExchangeFailed {};

class DataExchange {
 public:
  using ControlFinder = std::function<QWidget*(int id)>;

  DataExchange(QWidget* dialog, bool saveAndValidate, ControlFinder find);

  [[nodiscard]] bool saveAndValidate() const { return m_save; }

  /// Attaches the control with this id to its member the first time.
  template <typename Control>
  void control(int id, Control*& member) {
    if (member == nullptr) member = qobject_cast<Control*>(m_find(id));
  }
  /// A check box or radio button's state.
  void check(int id, BOOL& value);
  /// A single-byte text of at most `maxChars` characters. Shown, it also
  /// limits what the field takes.
  void latin1Text(int id, QByteArray& value, int maxChars);
  /// A signed 32-bit integer written as decimal text.
  void integer(int id, int& value);

 private:
  QWidget* require(int id) const;
  [[noreturn]] void fail(QWidget* control, const QString& message);

  QWidget* m_dialog;
  bool m_save;
  ControlFinder m_find;
};
