#include "gui/thread_oem_auto_calibration.h"

#include <string>

#include "gui/app_context.h"
#include "link/pipe_com.h"
#include "link/pipe_endpoint.h"

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

std::optional<Handover> HandoverOf(COM_METHOD& link) {
    if (const auto* pipeLink = dynamic_cast<const PIPE_COM*>(&link)) {
        std::string_view name = pipeLink->requestPipeName().view();
        if (!name.ends_with(pipe::kRequestSuffix)) return std::nullopt;
        name.remove_suffix(pipe::kRequestSuffix.size());
        if (name.empty()) return std::nullopt;
        return Handover{"CMON:" + std::string(name), std::string(name)};
    }
    const std::string selector(link.selector().view());
    if (selector.empty()) return std::nullopt;
    return Handover{selector, selector};
}

TOEMAutoCalibration::TOEMAutoCalibration(AppContext& context, QObject* parent)
    : QThread(parent), context_(context) {}

TOEMAutoCalibration::~TOEMAutoCalibration() {
    requestInterruption();
    toolEnded_.release();
    wait();
}

void TOEMAutoCalibration::cancel() { cancelled_.store(true); }

void TOEMAutoCalibration::run() {
    // Nothing is closed unless the tool can be told where to find the controller.
    const std::optional<Handover> handover = context_.current.access([](COM_METHOD* link) {
        std::optional<Handover> h = link ? HandoverOf(*link) : std::nullopt;
        if (h) link->Close();
        return h;
    });
    if (!handover) {
        Q_EMIT refused();
        return;
    }
    Q_EMIT linkClosed(QString::fromStdString(handover->toolSelector));

    // Reopening while the tool still works would succeed over the LAN and give the controller two
    // command sources, so the process's end comes first, cancelled or not.
    toolEnded_.acquire();
    if (isInterruptionRequested()) return;
    if (cancelled_.load()) {
        Q_EMIT gaveUp(true);
        return;
    }
    Q_EMIT reopening();
    const std::string& selector = handover->reopenName;
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
