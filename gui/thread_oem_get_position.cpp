#include "gui/thread_oem_get_position.h"

#include <optional>

#include "gui/app_context.h"
#include "gui/grid_layout.h"

namespace vm::gui {

namespace {

// GetCounter and the value it read, as one unit under the operation lock.
std::optional<int> ReadCounter(AppContext& context, std::uint8_t m, std::uint8_t c) {
    auto lock = context.current.hold();
    if (context.oem.GetCounter(m, c)) return std::nullopt;
    return context.oem.count();
}

}  // namespace

TOEMGetPosition::TOEMGetPosition(AppContext& context, int row, const std::atomic<bool>& stopRequest,
                                 QObject* parent)
    : QThread(parent), context_(context), row_(row), stopRequest_(stopRequest) {}

void TOEMGetPosition::run() {
    const auto [m, c] = ChannelOfRow(row_);
    const bool encoder = context_.pci.HasEncoderModule(m);
    Clock& clock = context_.clock;
    VMDM& vmdm = context_.vmdm;

    for (;;) {
        clock.sleepMs(kPollMs);
        if (isInterruptionRequested()) return;
        if (encoder) {
            if (const auto count = ReadCounter(context_, m, c)) Q_EMIT counter(row_, *count);
            if (isInterruptionRequested()) return;
        }
        {
            // The status that decides is the one this poll read, not one another thread left.
            auto lock = context_.current.hold();
            vmdm.Status(m);
            if (stopRequest_.load() || vmdm.status() != "_MOV") break;
        }
        if (isInterruptionRequested()) return;
    }

    for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
        if (isInterruptionRequested()) return;
        bool stopped = false;
        {
            auto lock = context_.current.hold();
            vmdm.Stop(m);
            stopped = vmdm.status() == "_STP";
        }
        clock.sleepMs(kPollMs);
        if (stopped) break;
    }
    if (isInterruptionRequested()) return;
    Q_EMIT moveEnded();

    const auto count = ReadCounter(context_, m, c);
    if (count && encoder && !isInterruptionRequested()) Q_EMIT counter(row_, *count);
}

}  // namespace vm::gui
