// A multi-line edit field that behaves like the dialog's edit controls: a
// limit on the characters it holds, Tab and Enter left to the dialog, and
// only characters that have a single byte (Latin-1), since the program
// keeps track texts as byte strings.
#pragma once

#include <QPlainTextEdit>

class MultiLineEdit : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit MultiLineEdit(QWidget* parent = nullptr);

  /// Most characters the field takes from the operator. A line break
  /// counts as two (CR LF), as the field's text holds it.
  void setLimitText(int maxChars);
  [[nodiscard]] int limitText() const { return m_limit; }

  /// The field's text with line breaks as CR LF.
  [[nodiscard]] QString windowText() const;
  void setWindowText(const QString& text);
  [[nodiscard]] int windowTextLength() const;

 signals:
  /// The text changed by the operator's hand (typing, pasting, cutting,
  /// undoing); text set by the program through setWindowText() is not an
  /// edit.
  void operatorEdited();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void insertFromMimeData(const QMimeData* source) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  /// Whether a typed character may go into the field. Fields with a
  /// character filter narrow this down.
  [[nodiscard]] virtual bool acceptsCharacter(QChar c) const;

 private:
  /// The part of `text` that fits and is accepted; empty when none does.
  [[nodiscard]] QString admissible(const QString& text) const;

  int m_limit = 30000;
  bool m_settingText = false;
};
