// VMControlSystem: the desktop program. Its only command-line option is the monitor mode
// ("@CMON" and a pipe name).
#include "gui/app_context.h"
#include "gui/application.h"
#include "gui/help.h"
#include "gui/link_factory.h"
#include "gui/main_form.h"
#include "gui/prompts.h"
#include "link/clock.h"

int main(int argc, char** argv) {
    vm::gui::VMApplication app(argc, argv);
    // The class of the windows (StartupWMClass in the desktop entry) and the entry's name.
    QApplication::setApplicationName(QStringLiteral("VMControlSystem"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vmcontrolsystem"));
    QApplication::setWindowIcon(vm::gui::ProgramIcon());
    vm::SteadyClock clock;
    vm::gui::RealLinkFactory links(clock);
    vm::gui::MessageBoxPrompts prompts;
    vm::gui::AppContext context(clock, links, prompts);
    vm::gui::Windows windows(context, QApplication::arguments().mid(1));
    windows.main().show();
    return QApplication::exec();
}
