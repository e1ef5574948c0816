// GoogleTest main for the desktop program's tests: one QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>

namespace {

// The offscreen platform says at every window what it cannot do; that is noise here.
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith("This plugin does not support")) return;
    if (message.startsWith("QStandardPaths: XDG_RUNTIME_DIR")) return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(QuietHandler);
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
