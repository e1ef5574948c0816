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

    bool statusOk = false;
    Q_EMIT line("--- REQUEST STATUS OF MODULES  --- ");
    for (int m : detected) {
        const auto module = static_cast<std::uint8_t>(m);
        vmdm.ReadDescriptor(module);
        const std::uint8_t descriptor = ChannelCount(vmdm.descriptor());
        for (std::uint8_t c = 1; c <= descriptor; ++c) {
            if (isInterruptionRequested()) return;
            const bool ok = !vmdm.Status(module);
            Q_EMIT line(channelLine(m, c, ok ? " STATUS OK" : " FAILED"));
            if (!ok) continue;
            statusOk = true;
            Q_EMIT amplifierChannel(ChannelItem(module, c));
        }
    }

    bool counterFound = false;
    Q_EMIT line("--- CHECKING OPTICAL COUNTERS ---");
    for (int m : detected) {
        const auto module = static_cast<std::uint8_t>(m);
        vmdm.ReadDescriptor(module);
        const std::uint8_t descriptor = ChannelCount(vmdm.descriptor());
        for (std::uint8_t c = 1; c <= descriptor; ++c) {
            if (isInterruptionRequested()) return;
            const bool ok = !oem.GetCounter(module, c);
            Q_EMIT line(channelLine(m, c, ok ? " COUNTER FOUND" : " COUNTER NOT FOUND"));
            if (!ok) continue;
            counterFound = true;
            Q_EMIT encoderChannel(ChannelItem(module, c));
        }
    }

    if (counterFound) {
        Q_EMIT line("You may proceed with Calibration of the Encoder System");
        Q_EMIT showEncoderTab();
    }
    if (statusOk) Q_EMIT showDriverTab();
}

}  // namespace vm::gui
