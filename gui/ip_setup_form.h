#pragma once
// Reads and writes the controller's own network settings: dynamic or static address, and the
// static address, subnet mask and gateway.
#include <QDialog>
#include <array>

class QLineEdit;
class QRadioButton;

namespace vm::gui {

struct AppContext;
class TMainForm;

class TFormIPSetup final : public QDialog {
    Q_OBJECT

  public:
    TFormIPSetup(AppContext& context, TMainForm& mainForm);
    // "Use Settings": writes the shown settings to the controller and closes.
    void useSettings();

  Q_SIGNALS:
    // The settings read when the dialog was shown have been applied (or could not be read).
    void settingsRead(bool read);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void setOctetsEnabled(bool enabled);
    void closeToMain();

    AppContext& context_;
    TMainForm& main_;
    QRadioButton* dynamic_;
    QRadioButton* static_;
    std::array<QLineEdit*, 12> octets_{};
};

}  // namespace vm::gui
