// Help → User's Guide and the program's icon.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "gui/help.h"
#include "gui/main_form.h"
#include "tests/gui/gui_rig.h"

namespace vm::gui::test {
namespace {

struct GuideCase {
    const char* name;
    bool installed;    // the guide's file exists
    bool viewerOpens;  // what the desktop's viewer answers
    bool opened;       // the viewer was asked
    const char* said;  // the message, %1 the guide's path; empty for none
};

const GuideCase kGuideCases[] = {
    {"opens the installed guide", true, true, true, ""},
    {"names the file when no viewer opens it", true, false, true, "The user's guide is %1."},
    {"says where it is when it is not installed", false, true, false,
     "The user's guide is not installed at %1. Install the vmcontrol package, or read docs/guide.md in the "
     "source tree."},
};

TEST(HelpMenu, UserGuide) {
    for (const GuideCase& c : kGuideCases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath("guide.md");
        if (c.installed) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        GuiRig rig;
        rig.links.make = [&rig](LinkKind) { return std::make_unique<AbsentLink>(rig.linkContext); };
        TMainForm& main = rig.start();
        rig.prompts.shown.clear();
        std::vector<QUrl> asked;
        rig.windows->guidePath = path;
        rig.windows->openDocument = [&](const QUrl& url) {
            asked.push_back(url);
            return c.viewerOpens;
        };
        QAction* guide = main.findChild<QAction*>("actionUserGuide");
        ASSERT_NE(guide, nullptr);
        // F1, as a user presses it on the main window.
        main.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
        QTest::keyClick(&main, Qt::Key_F1);
        EXPECT_EQ(asked, c.opened ? std::vector<QUrl>{QUrl::fromLocalFile(path)} : std::vector<QUrl>{});
        EXPECT_EQ(rig.prompts.texts(), *c.said ? QStringList{QString(c.said).arg(path)} : QStringList{});
    }
}

TEST(HelpMenu, TheGuideOfTheProgramsOwnInstallationComesFirst) {
    QTemporaryDir prefix;
    ASSERT_TRUE(QDir(prefix.path()).mkpath("bin") && QDir(prefix.path()).mkpath("share/doc/vmcontrol"));
    const QString bin = prefix.filePath("bin");
    EXPECT_EQ(InstalledGuide(bin), "/usr/share/doc/vmcontrol/guide.md");
    QFile guide(prefix.filePath("share/doc/vmcontrol/guide.md"));
    ASSERT_TRUE(guide.open(QIODevice::WriteOnly));
    EXPECT_EQ(InstalledGuide(bin), QFileInfo(guide).absoluteFilePath());
}

TEST(ProgramIcon, HasEverySizeADesktopAsksFor) {
    const QIcon icon = ProgramIcon();
    for (const int size : {16, 32, 48, 64}) EXPECT_EQ(icon.pixmap(size, size).width(), size);
}

}  // namespace
}  // namespace vm::gui::test
