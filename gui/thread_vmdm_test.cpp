#include "gui/thread_vmdm_test.h"

#include "gui/app_context.h"
#include "gui/model/failsafe.h"

namespace vm::gui {

namespace {

constexpr std::uint32_t kDriveSignalMs = 1000;
constexpr std::uint32_t kBeforeFailsafeMs = 100;
constexpr std::uint16_t kMinLoadNf = 20;
constexpr std::uint16_t kMaxLoadNf = 10000;

}  // namespace

QString CapacitanceLine(std::uint16_t nanofarad) {
    if (nanofarad > kMaxLoadNf || nanofarad < kMinLoadNf) return ">Error: Unable to determine load!";
    return ">Load Capacitance: " + QString::number(nanofarad) + " [nF]";
}

TVMDMTest::TVMDMTest(AppContext& context, const DetectedModules& modules, bool driveSignal, QObject* parent)
    : QThread(parent), context_(context), modules_(modules), driveSignal_(driveSignal) {}

void TVMDMTest::run() {
    VMDM& vmdm = context_.vmdm;
    Q_EMIT line("--- SEND COMMAND TO VELLUMOTORS --- ");
    for (std::uint8_t m : modules_.addresses) {
        if (m == 0) continue;
        if (isInterruptionRequested()) return;
        vmdm.ReadDescriptor(m);
        const std::uint8_t descriptor = ChannelCount(vmdm.descriptor());
        const QString module = QString::number(m);
        for (std::uint8_t c = 1; c <= descriptor; ++c) {
            if (isInterruptionRequested()) return;
            Q_EMIT line("   Channel: " + module + QChar('@' + c) + " : ");
            if (!driveSignal_) continue;
            const char* moved =
                vmdm.Move(m, c, "PROFILE1", 4, 1, 100, 100, 100) ? " MOVE FAILED," : " MOVE OK,";
            context_.clock.sleepMs(kDriveSignalMs);
            const char* stopped = vmdm.Stop(m) ? " STOP FAILED," : " STOP OK,";
            Q_EMIT line(QString("     ") + moved + stopped);
        }
        context_.clock.sleepMs(kBeforeFailsafeMs);
        // A module whose failsafe state cannot be read gets no further lines and no final stop.
        if (vmdm.ReadFailsafe(m)) continue;
        const std::uint8_t failsafe = vmdm.failsafe();
        Q_EMIT line(QString::asprintf("     >ERROR STATUS: 0x%X", unsigned{failsafe}));
        if (failsafe != 0 && failsafe != 255) {
            for (std::string_view l : FailsafeLines(failsafe))
                Q_EMIT line(QString::fromLatin1(l.data(), static_cast<qsizetype>(l.size())));
        } else {
            for (std::uint8_t c = 1; c <= descriptor; ++c) {
                if (isInterruptionRequested()) return;
                Q_EMIT line("CAPACITANCE: Channel:" + module + QChar('@' + c) + ":");
                if (!vmdm.MeasureCapacitance(m, c)) Q_EMIT line(CapacitanceLine(vmdm.capacitance()));
            }
        }
        vmdm.Stop(m);
    }
    Q_EMIT line("    ==== Test Finished ====");
}

}  // namespace vm::gui
