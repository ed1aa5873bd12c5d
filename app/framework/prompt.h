// Every message box and file dialog of the program goes through one
// prompt, so tests can answer them without a person and without blocking.
#pragma once

#include <QString>
#include <functional>

class QWidget;

class Prompt {
 public:
  /// The result of an OK-only message box.
  static constexpr int kIdOk = 1;

  virtual ~Prompt() = default;
  /// A modal message box with an OK button; returns the button chosen.
  virtual int messageBox(QWidget* parent, const QString& text,
                         const QString& caption) = 0;
  /// A file to open, or an empty text when the operator cancels.
  virtual QString getOpenFileName(QWidget* parent, const QString& caption,
                                  const QString& directory,
                                  const QString& filter) = 0;
  /// A file to save to, or an empty text when the operator cancels. The
  /// dialog asks before an existing file is replaced.
  virtual QString getSaveFileName(QWidget* parent, const QString& caption,
                                  const QString& directory,
                                  const QString& filter) = 0;
};

/// Qt's own message box and file dialogs.
class QtPrompt : public Prompt {
 public:
  int messageBox(QWidget* parent, const QString& text,
                 const QString& caption) override;
  QString getOpenFileName(QWidget* parent, const QString& caption,
                          const QString& directory,
                          const QString& filter) override;
  QString getSaveFileName(QWidget* parent, const QString& caption,
                          const QString& directory,
                          const QString& filter) override;
};

/// The prompt in use: a QtPrompt unless one was installed.
[[nodiscard]] Prompt& currentPrompt();

/// Installs a prompt (not owned); nullptr goes back to the QtPrompt.
void installPrompt(Prompt* prompt);

/// While it lives, every message box and file dialog first runs `before`
/// and then goes to the prompt that was in use when it was made. For work
/// that must be done before a dialog can open (a dialog keeps the event
/// loop turning, and the operator may take it for the end of an
/// operation). Scopes nest; each must end before the one it wraps.
class PromptPrelude : public Prompt {
 public:
  explicit PromptPrelude(std::function<void()> before);
  ~PromptPrelude() override;
  PromptPrelude(const PromptPrelude&) = delete;
  PromptPrelude& operator=(const PromptPrelude&) = delete;

  int messageBox(QWidget* parent, const QString& text,
                 const QString& caption) override;
  QString getOpenFileName(QWidget* parent, const QString& caption,
                          const QString& directory,
                          const QString& filter) override;
  QString getSaveFileName(QWidget* parent, const QString& caption,
                          const QString& directory,
                          const QString& filter) override;

 private:
  Prompt& m_inner;
  Prompt* m_installedBefore;
  std::function<void()> m_before;
};
