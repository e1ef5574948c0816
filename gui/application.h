#pragma once
// The desktop program's windows, created in their fixed order: main window, module-scan window,
// diagnostic window, device-selection dialog, emergency panel, DC-level dialog, device IP setup dialog,
// manual IP connect dialog. Only the main window is shown at start; the others are shown on demand and live
// until the program ends.
#include <QApplication>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>

namespace vm::gui {

struct AppContext;
class TMainForm;
class TFormScanModules;
class TFormDiagnostic;
class TFormCabinetSelect;
class TFormEmergencyPanel;
class TFormDCSet;
class TFormIPSetup;
class TFormIPConnect;

class Windows {
  public:
    Windows(AppContext& context, const QStringList& arguments);
    ~Windows();
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;

    TMainForm& main() { return *main_; }
    TFormScanModules& scanModules() { return *scanModules_; }
    TFormDiagnostic& diagnostic() { return *diagnostic_; }
    TFormCabinetSelect& cabinetSelect() { return *cabinetSelect_; }
    TFormEmergencyPanel& emergencyPanel() { return *emergencyPanel_; }
    TFormDCSet& dcSet() { return *dcSet_; }
    TFormIPSetup& ipSetup() { return *ipSetup_; }
    TFormIPConnect& ipConnect() { return *ipConnect_; }

    // Help → User's Guide: the guide's file and what opens it (the desktop's viewer; tests
    // replace both).
    QString guidePath;
    std::function<bool(const QUrl&)> openDocument;

  private:
    std::unique_ptr<TMainForm> main_;
    std::unique_ptr<TFormScanModules> scanModules_;
    std::unique_ptr<TFormDiagnostic> diagnostic_;
    std::unique_ptr<TFormCabinetSelect> cabinetSelect_;
    std::unique_ptr<TFormEmergencyPanel> emergencyPanel_;
    std::unique_ptr<TFormDCSet> dcSet_;
    std::unique_ptr<TFormIPSetup> ipSetup_;
    std::unique_ptr<TFormIPConnect> ipConnect_;
};

// Shows an exception that escapes an event handler in a message box and ends the event loop.
class VMApplication final : public QApplication {
  public:
    VMApplication(int& argc, char** argv) : QApplication(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vm::gui
