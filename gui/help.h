#pragma once
// The program's icon, and the Help menu's entry that opens the installed user's guide.
#include <QIcon>
#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace vm::gui {

class Prompts;

// Where the vmcontrol package installs the user's guide.
inline const QString kInstalledGuide = QStringLiteral("/usr/share/doc/vmcontrol/guide.md");

// The guide of the installation that the program in `programDir` belongs to
// (`<prefix>/share/doc/vmcontrol/guide.md` beside `<prefix>/bin`, also under /usr/local), or
// the packages' place when there is none.
QString InstalledGuide(const QString& programDir);

// The icon of the desktop entry (packaging/vmcontrolsystem.svg), from the icon theme when it is
// installed, otherwise painted in the same shapes; no image plugin is needed either way.
QIcon ProgramIcon();

// Opens the guide at `path` with `open` (the desktop's viewer for the file); when the file is
// missing or cannot be opened, says where the guide is.
void ShowGuide(QWidget* parent, Prompts& prompts, const QString& path,
               const std::function<bool(const QUrl&)>& open);

}  // namespace vm::gui
