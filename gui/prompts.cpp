#include "gui/prompts.h"

#include <QFileDialog>
#include <QMessageBox>

namespace vm::gui {

namespace {

QMessageBox::Icon ToIcon(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::None:
            return QMessageBox::NoIcon;
        case PromptIcon::Information:
            return QMessageBox::Information;
        case PromptIcon::Warning:
            return QMessageBox::Warning;
        case PromptIcon::Error:
            return QMessageBox::Critical;
        case PromptIcon::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void MessageBoxPrompts::message(QWidget* parent, const QString& text, const QString& title, PromptIcon icon) {
    QMessageBox box(ToIcon(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool MessageBoxPrompts::askYesNo(QWidget* parent, const QString& text, const QString& title,
                                 PromptIcon icon) {
    QMessageBox box(ToIcon(icon), title, text, QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

QString MessageBoxPrompts::saveFileName(QWidget* parent, const QString& caption, const QString& suggestion,
                                        const QString& filter) {
    return QFileDialog::getSaveFileName(parent, caption, suggestion, filter);
}

}  // namespace vm::gui
