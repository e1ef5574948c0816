#pragma once
// Connects to a controller at a typed network address.
#include <QDialog>

class QLineEdit;
class QPushButton;

namespace vm::gui {

struct AppContext;
class TMainForm;

class TFormIPConnect final : public QDialog {
    Q_OBJECT

  public:
    TFormIPConnect(AppContext& context, TMainForm& mainForm);
    // "Connect" and Enter in the edit: a new LAN link opened with the address, then a scan.
    void connectToAddress();

  private:
    AppContext& context_;
    TMainForm& main_;
    QLineEdit* address_;
    QPushButton* connect_;
    bool connecting_ = false;
};

}  // namespace vm::gui
