#include "gui/application.h"

#include <QMessageBox>
#include <exception>

#include "gui/app_context.h"
#include "gui/cabinet_select_form.h"
#include "gui/ip_connect_form.h"
#include "gui/ip_setup_form.h"
#include "gui/main_form.h"
#include "gui/scan_modules_form.h"

namespace vm::gui {

Windows::Windows(AppContext& context, const QStringList& arguments) {
    main_ = std::make_unique<TMainForm>(context, arguments);
    scanModules_ = std::make_unique<TFormScanModules>();
    cabinetSelect_ = std::make_unique<TFormCabinetSelect>(context, *main_);
    ipSetup_ = std::make_unique<TFormIPSetup>(context, *main_);
    ipConnect_ = std::make_unique<TFormIPConnect>(context, *main_);
    main_->setWindows({scanModules_.get(), cabinetSelect_.get(), ipSetup_.get(), ipConnect_.get()});
}

Windows::~Windows() {
    // The dialogs go first; the main window closes the link when it goes.
    ipConnect_.reset();
    ipSetup_.reset();
    cabinetSelect_.reset();
    scanModules_.reset();
    main_.reset();
}

bool VMApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, kProgramTitle, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, kProgramTitle, "Unknown error");
    }
    exit(1);
    return false;
}

}  // namespace vm::gui
