#pragma once
// Message boxes, questions and file dialogs go through this interface, so tests replace them
// with a recorder that answers as told and never blocks on a modal dialog.
#include <QString>

class QWidget;

namespace vm::gui {

enum class PromptIcon { None, Information, Warning, Error, Question };

class Prompts {
  public:
    virtual ~Prompts() = default;
    // A message with an OK button.
    virtual void message(QWidget* parent, const QString& text, const QString& title, PromptIcon icon) = 0;
    // A question with Yes and No buttons; true for Yes.
    virtual bool askYesNo(QWidget* parent, const QString& text, const QString& title, PromptIcon icon) = 0;
    // A save-file dialog; an empty text when the user cancelled.
    virtual QString saveFileName(QWidget* parent, const QString& caption, const QString& suggestion,
                                 const QString& filter) = 0;
};

// The real dialogs.
class MessageBoxPrompts final : public Prompts {
  public:
    void message(QWidget* parent, const QString& text, const QString& title, PromptIcon icon) override;
    bool askYesNo(QWidget* parent, const QString& text, const QString& title, PromptIcon icon) override;
    QString saveFileName(QWidget* parent, const QString& caption, const QString& suggestion,
                         const QString& filter) override;
};

// The title of the program's own error messages.
inline const QString kProgramTitle = QStringLiteral("Vellumotor Control System");

}  // namespace vm::gui
