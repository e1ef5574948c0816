#include "gui/thread_module_diagnostic.h"

#include "gui/app_context.h"
#include "gui/diagnostic_state.h"

namespace vm::gui {

TModuleDiagnostic::TModuleDiagnostic(AppContext& context, QObject* parent)
    : QThread(parent), context_(context) {}

void TModuleDiagnostic::run() {
    VMDM& vmdm = context_.vmdm;
    OEM& oem = context_.oem;

    QList<int> detected;
    Q_EMIT line("Auto Detection... ");
    for (std::uint8_t a = 1; a <= 6; ++a) {
        if (isInterruptionRequested()) return;
        if (!vmdm.Status(a)) detected << a;
    }
    Q_EMIT modulesDetected(detected);
    if (detected.isEmpty()) {
        Q_EMIT line(">ERROR: -No- Vellumotor Driver Modules detected");
        Q_EMIT line("|____Make sure the PC interface is in EXTERNAL CONTROL");
        Q_EMIT line("|____Try to restart the PC interface");
        Q_EMIT noModules();
        return;
    }
    Q_EMIT line("   >SUCCESS: -" + QString::number(detected.size()) + "- Vellumotor Driver Modules detected");

    auto channelLine = [](int m, std::uint8_t c, const char* outcome) {
        return "   >ADRESS -" + QString::number(m) + "- CHANNEL -" + QChar('@' + c) + "-: " + outcome;
    };

    // One pass over the channels of every detected module: the descriptor is read again, each
    // channel checked and its line shown; true when any channel passed. Passed channels go to
    // `found`. False as well when the pass was interrupted.
    bool interrupted = false;
    auto pass = [&](const auto& check, const char* passed, const char* failed, const auto& found) {
        bool any = false;
        for (int m : detected) {
            const auto module = static_cast<std::uint8_t>(m);
            vmdm.ReadDescriptor(module);
            const std::uint8_t descriptor = ChannelCount(vmdm.descriptor());
            for (std::uint8_t c = 1; c <= descriptor; ++c) {
                if (isInterruptionRequested()) {
                    interrupted = true;
                    return false;
                }
                const bool ok = check(module, c);
                Q_EMIT line(channelLine(m, c, ok ? passed : failed));
                if (!ok) continue;
                any = true;
                found(ChannelItem(module, c));
            }
        }
        return any;
    };

    Q_EMIT line("--- REQUEST STATUS OF MODULES  --- ");
    const bool statusOk = pass([&](std::uint8_t m, std::uint8_t) { return !vmdm.Status(m); }, " STATUS OK",
                               " FAILED", [this](const QString& item) { Q_EMIT amplifierChannel(item); });
    if (interrupted) return;
    Q_EMIT line("--- CHECKING OPTICAL COUNTERS ---");
    const bool counterFound =
        pass([&](std::uint8_t m, std::uint8_t c) { return !oem.GetCounter(m, c); }, " COUNTER FOUND",
             " COUNTER NOT FOUND", [this](const QString& item) { Q_EMIT encoderChannel(item); });
    if (interrupted) return;

    if (counterFound) {
        Q_EMIT line("You may proceed with Calibration of the Encoder System");
        Q_EMIT showEncoderTab();
    }
    if (statusOk) Q_EMIT showDriverTab();
}

}  // namespace vm::gui
