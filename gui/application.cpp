#include "gui/application.h"

#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <exception>
#include <initializer_list>

#include "gui/app_context.h"
#include "gui/cabinet_select_form.h"
#include "gui/dc_set_form.h"
#include "gui/diagnostic_form.h"
#include "gui/emergency_panel_form.h"
#include "gui/help.h"
#include "gui/ip_connect_form.h"
#include "gui/ip_setup_form.h"
#include "gui/main_form.h"
#include "gui/scan_modules_form.h"

namespace vm::gui {

Windows::Windows(AppContext& context, const QStringList& arguments) {
    main_ = std::make_unique<TMainForm>(context, arguments);
    scanModules_ = std::make_unique<TFormScanModules>();
    diagnostic_ = std::make_unique<TFormDiagnostic>(context, *main_);
    cabinetSelect_ = std::make_unique<TFormCabinetSelect>(context, *main_);
    emergencyPanel_ = std::make_unique<TFormEmergencyPanel>(context, *main_);
    dcSet_ = std::make_unique<TFormDCSet>(context, *main_);
    ipSetup_ = std::make_unique<TFormIPSetup>(context, *main_);
    ipConnect_ = std::make_unique<TFormIPConnect>(context, *main_);
    main_->setWindows({.scanModules = scanModules_.get(),
                       .diagnostic = diagnostic_.get(),
                       .cabinetSelect = cabinetSelect_.get(),
                       .emergencyPanel = emergencyPanel_.get(),
                       .dcSet = dcSet_.get(),
                       .ipSetup = ipSetup_.get(),
                       .ipConnect = ipConnect_.get()});
    // Closing the main window ends the program even while another window is shown.
    for (QWidget* window : std::initializer_list<QWidget*>{scanModules_.get(), diagnostic_.get(),
                                                           cabinetSelect_.get(), emergencyPanel_.get(),
                                                           dcSet_.get(), ipSetup_.get(), ipConnect_.get()})
        window->setAttribute(Qt::WA_QuitOnClose, false);

    // Help → User's Guide, after the main window's own Help entries.
    guidePath = InstalledGuide(QCoreApplication::applicationDirPath());
    openDocument = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    if (QMenu* help = main_->findChild<QMenu*>("menuHelp")) {
        QAction* guide = help->addAction("User's Guide");
        guide->setObjectName("actionUserGuide");
        guide->setShortcut(QKeySequence::HelpContents);
        QObject::connect(guide, &QAction::triggered, main_.get(), [this, &context] {
            ShowGuide(main_.get(), context.prompts, guidePath, openDocument);
        });
    }
}

Windows::~Windows() {
    // The dialogs go first; the main window closes the link when it goes.
    ipConnect_.reset();
    ipSetup_.reset();
    dcSet_.reset();
    emergencyPanel_.reset();
    cabinetSelect_.reset();
    diagnostic_.reset();
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
