#include "gui/help.h"

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>

#include "gui/prompts.h"

namespace vm::gui {

namespace {

// The shapes of packaging/vmcontrolsystem.svg on its 64 x 64 grid.
QPixmap PaintIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x4e, 0x79));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
    painter.setBrush(QColor(0xd9, 0xe2, 0xec));
    painter.drawRoundedRect(QRectF(10, 40, 44, 10), 2, 2);
    painter.setBrush(QColor(0xf2, 0xa9, 0x00));
    painter.drawRoundedRect(QRectF(20, 22, 24, 18), 2, 2);
    painter.setBrush(Qt::white);
    for (const int x : {8, 14, 46, 52}) painter.drawRect(QRectF(x, 29, 4, 4));
    const QPointF arrow[] = {{32, 10}, {38, 18}, {26, 18}};
    painter.drawPolygon(arrow, 3);
    return pixmap;
}

}  // namespace

QString InstalledGuide(const QString& programDir) {
    const QString beside = QDir::cleanPath(programDir + "/../share/doc/vmcontrol/guide.md");
    return QFileInfo(beside).isFile() ? beside : kInstalledGuide;
}

QIcon ProgramIcon() {
    QIcon painted;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) painted.addPixmap(PaintIcon(size));
    return QIcon::fromTheme(QStringLiteral("vmcontrolsystem"), painted);
}

void ShowGuide(QWidget* parent, Prompts& prompts, const QString& path,
               const std::function<bool(const QUrl&)>& open) {
    const QString title = QStringLiteral("User's Guide");
    if (!QFileInfo(path).isFile()) {
        prompts.message(
            parent,
            QStringLiteral("The user's guide is not installed at %1. Install the vmcontrol package, "
                           "or read docs/guide.md in the source tree.")
                .arg(path),
            title, PromptIcon::Information);
        return;
    }
    if (!open || !open(QUrl::fromLocalFile(path)))
        prompts.message(parent, QStringLiteral("The user's guide is %1.").arg(path), title,
                        PromptIcon::Information);
}

}  // namespace vm::gui
