#include "multi_line_edit.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QScopedValueRollback>
#include <QTextCursor>

namespace {

int heldLength(const QString& text) {
  return static_cast<int>(text.size() + text.count(QLatin1Char('\n')));
}

}  // namespace

MultiLineEdit::MultiLineEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setTabChangesFocus(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  connect(this, &QPlainTextEdit::textChanged, this, [this] {
    if (!m_settingText) emit operatorEdited();
  });
}

void MultiLineEdit::setLimitText(int maxChars) { m_limit = maxChars; }

QString MultiLineEdit::windowText() const {
  QString text = toPlainText();
  text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
  return text;
}

void MultiLineEdit::setWindowText(const QString& text) {
  QString plain = text;
  plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  const QScopedValueRollback programSet(m_settingText, true);
  setPlainText(plain);
}

int MultiLineEdit::windowTextLength() const {
  return heldLength(toPlainText());
}

bool MultiLineEdit::acceptsCharacter(QChar c) const {
  return c.unicode() <= 0xFF;
}

QString MultiLineEdit::admissible(const QString& text) const {
  const int selected = heldLength(textCursor().selectedText().replace(
      QChar::ParagraphSeparator, QLatin1Char('\n')));
  int room = m_limit - (windowTextLength() - selected);
  QString result;
  for (const QChar c : text) {
    if (c == QLatin1Char('\r')) continue;  // line breaks arrive as '\n'
    if (c != QLatin1Char('\n') && !acceptsCharacter(c)) continue;
    const int cost = c == QLatin1Char('\n') ? 2 : 1;
    if (cost > room) break;
    room -= cost;
    result += c;
  }
  return result;
}

void MultiLineEdit::keyPressEvent(QKeyEvent* event) {
  // Enter belongs to the dialog (its OK action), not to the field.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->ignore();
    return;
  }
  const QString typed = event->text();
  const bool printable = !typed.isEmpty() && typed.at(0).isPrint() &&
                         !(event->modifiers() & Qt::ControlModifier);
  if (printable && admissible(typed) != typed) {
    // Refused like a full field refuses a key: nothing changes.
    QApplication::beep();
    event->accept();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void MultiLineEdit::insertFromMimeData(const QMimeData* source) {
  if (source == nullptr || !source->hasText()) return;
  QString offered = source->text();
  offered.remove(QLatin1Char('\r'));
  const QString text = admissible(offered);
  // What does not fit, or has no single byte, is left out audibly.
  if (text != offered) QApplication::beep();
  if (text.isEmpty()) return;
  textCursor().insertText(text);
  ensureCursorVisible();
}

void MultiLineEdit::inputMethodEvent(QInputMethodEvent* event) {
  if (event->commitString().isEmpty()) {
    QPlainTextEdit::inputMethodEvent(event);
    return;
  }
  const QString text = admissible(event->commitString());
  if (text != event->commitString()) QApplication::beep();
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(text, event->replacementStart(),
                           event->replacementLength());
  QPlainTextEdit::inputMethodEvent(&filtered);
}
