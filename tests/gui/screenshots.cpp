// Renders the desktop program's real windows to PNG files for docs/ (scripts/screenshots.sh):
// the windows are built as the program builds them, against the in-process virtual controller.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTableWidget>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sim/model.h"
#include "tests/gui/gui_rig.h"

namespace {

using vm::gui::test::GuiRig;

struct Shot {
    const char* file;
    std::function<QWidget*(GuiRig&)> prepare;  // returns the window to grab
};

// A rack with two drive modules, their encoder modules and a sensor module; a few channels
// carry a tag of their own.
void StartLab(GuiRig& rig) {
    rig.useSimulator("C,O,C1,O,R,-");
    rig.controller->inspect([](vm::sim::Model& model) {
        model.front.memory[0].tag = "X-stage";
        model.front.memory[1].tag = "Y-stage";
        model.front.memory[2].tag = "focus";
        model.front.memory[2].type = "PROFILE3";
        model.front.memory[6].tag = "rotator";
        model.front.memory[6].temperature = 4;
        return 0;
    });
    rig.start();
}

const std::vector<Shot> kShots = {
    {"main-window.png",
     [](GuiRig& rig) -> QWidget* {
         StartLab(rig);
         return &rig.main();
     }},
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/images");
    QDir().mkpath(directory);
    int failures = 0;
    for (const Shot& shot : kShots) {
        GuiRig rig;
        QWidget* window = shot.prepare(rig);
        rig.settle();
        const QString path = directory + "/" + shot.file;
        if (!window->grab().save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return failures == 0 ? 0 : 1;
}
