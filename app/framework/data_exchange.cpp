#include "data_exchange.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLineEdit>
#include <stdexcept>

#include "multi_line_edit.h"
#include "prompt.h"

namespace {

QString textOf(QWidget* control) {
  if (auto* edit = qobject_cast<MultiLineEdit*>(control)) {
    return edit->windowText();
  }
  if (auto* line = qobject_cast<QLineEdit*>(control)) return line->text();
  throw std::logic_error("control holds no text");
}

void setTextOf(QWidget* control, const QString& text) {
  if (auto* edit = qobject_cast<MultiLineEdit*>(control)) {
    edit->setWindowText(text);
  } else if (auto* line = qobject_cast<QLineEdit*>(control)) {
    line->setText(text);
  } else {
    throw std::logic_error("control holds no text");
  }
}

void setLimitOf(QWidget* control, int maxChars) {
  if (auto* edit = qobject_cast<MultiLineEdit*>(control)) {
    edit->setLimitText(maxChars);
  } else if (auto* line = qobject_cast<QLineEdit*>(control)) {
    line->setMaxLength(maxChars);
  }
}

bool isLatin1(const QString& text) {
  for (const QChar c : text) {
    if (c.unicode() > 0xFF) return false;
  }
  return true;
}

}  // namespace

DataExchange::DataExchange(QWidget* dialog, bool saveAndValidate,
                           ControlFinder find)
    : m_dialog(dialog), m_save(saveAndValidate), m_find(std::move(find)) {}

QWidget* DataExchange::require(int id) const {
  QWidget* control = m_find(id);
  if (control == nullptr) {
    throw std::logic_error("dialog has no control " + std::to_string(id));
  }
  return control;
}

void DataExchange::check(int id, BOOL& value) {
  auto* button = qobject_cast<QAbstractButton*>(require(id));
  if (button == nullptr) throw std::logic_error("control is not a button");
  if (m_save) {
    value = button->isChecked() ? TRUE : FALSE;
  } else {
    button->setChecked(value != FALSE);
  }
}

void DataExchange::latin1Text(int id, QByteArray& value, int maxChars) {
  QWidget* control = require(id);
  if (!m_save) {
    setTextOf(control, QString::fromLatin1(value));
    setLimitOf(control, maxChars);
    return;
  }
  const QString text = textOf(control);
  if (!isLatin1(text)) {
    // Storing it would turn those characters into others.
    fail(control,
         QStringLiteral("Enter only characters of one byte each (Latin-1)."));
  }
  value = text.toLatin1();
  if (value.size() > maxChars) {
    fail(control,
         QStringLiteral("Enter no more than %1 characters.").arg(maxChars));
  }
}

void DataExchange::integer(int id, int& value) {
  QWidget* control = require(id);
  if (!m_save) {
    setTextOf(control, QString::number(value));
    return;
  }
  bool ok = false;
  const int parsed = textOf(control).trimmed().toInt(&ok, 10);
  if (!ok) fail(control, QStringLiteral("Enter an integer."));
  value = parsed;
}

void DataExchange::fail(QWidget* control, const QString& message) {
  currentPrompt().messageBox(m_dialog, message,
                             QCoreApplication::applicationName());
  control->setFocus(Qt::OtherFocusReason);
  if (auto* line = qobject_cast<QLineEdit*>(control)) line->selectAll();
  if (auto* edit = qobject_cast<MultiLineEdit*>(control)) edit->selectAll();
  throw DataExchangeFailed{};
}
