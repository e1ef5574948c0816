#include "gui/thread_oem_auto_calibration.h"

#include <string>

#include "gui/app_context.h"

namespace vm::gui {

QStringList CalibrationArguments(const QString& selector, int slot, int channel, int temperature) {
    return {"@" + selector,
            "OEMC",
            QString::number(slot),
            QString::number(channel),
            "PROFILE1",
            QString::number(temperature),
            "1",
            "600"};
}

TOEMAutoCalibration::TOEMAutoCalibration(AppContext& context, QObject* parent)
    : QThread(parent), context_(context) {}

TOEMAutoCalibration::~TOEMAutoCalibration() {
    requestInterruption();
    cancel();
    wait();
}

void TOEMAutoCalibration::cancel() {
    cancelled_.store(true);
    toolEnded_.release();
}

void TOEMAutoCalibration::run() {
    std::string selector;
    const bool hadLink = context_.current.access([&selector](COM_METHOD* link) {
        if (!link) return false;
        selector = std::string(link->selector().view());
        link->Close();
        return true;
    });
    Q_EMIT linkClosed(hadLink ? QString::fromStdString(selector) : QString());

    // Reopening while the tool still works would succeed over the LAN and give the controller two
    // command sources, so the process's end comes first.
    toolEnded_.acquire();
    Q_EMIT reopening();
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        if (cancelled_.load() || isInterruptionRequested()) {
            Q_EMIT gaveUp(true);
            return;
        }
        const bool open = context_.current.access(
            [&selector](COM_METHOD* link) { return link != nullptr && link->Open(selector); });
        if (open) {
            Q_EMIT reopened();
            return;
        }
        context_.clock.sleepMs(kReopenMs);
    }
    Q_EMIT gaveUp(cancelled_.load());
}

}  // namespace vm::gui
