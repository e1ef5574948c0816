#pragma once
// Picks one of several controllers that a device search found and connects to it.
#include <QDialog>
#include <QStringList>

class QComboBox;
class QPushButton;

namespace vm::gui {

struct AppContext;
class TMainForm;

class TFormCabinetSelect final : public QDialog {
    Q_OBJECT

  public:
    TFormCabinetSelect(AppContext& context, TMainForm& mainForm);
    // Replaces the identifiers on offer; nothing is chosen and "Select" is disabled.
    void setDevices(const QStringList& identifiers);
    // "Select": opens the current link with the chosen identifier and scans.
    void select();

  private:
    AppContext& context_;
    TMainForm& main_;
    QComboBox* devices_;
    QPushButton* select_;
};

}  // namespace vm::gui
