#include "gui/thread_scan_modules.h"

#include "gui/app_context.h"
#include "gui/grid_layout.h"

namespace vm::gui {

TModuleScan::TModuleScan(AppContext& context, QObject* parent) : QThread(parent), context_(context) {}

void TModuleScan::run() {
    PCI& pci = context_.pci;
    VMDM& vmdm = context_.vmdm;
    OEM& oem = context_.oem;

    Q_EMIT channelRows(1);
    Q_EMIT cell(1, kColSel, QString());
    pci.ReadModuleMap();
    for (int column = kColSel; column <= kColSteps; ++column) Q_EMIT cell(1, column, " ");

    int found = 0;
    int counters = 0;
    for (std::uint8_t k = 1; k <= 6; ++k) {
        // Closing the program ends the scan between exchanges.
        if (isInterruptionRequested()) return;
        if (!pci.HasDriveModule(k)) continue;
        Q_EMIT progress(k);
        if (vmdm.Status(k)) continue;
        vmdm.ReadDescriptor(k);
        const std::uint8_t descriptor = vmdm.descriptor();
        ++found;
        for (std::uint8_t m = 1; m <= 3; ++m) {
            if (isInterruptionRequested()) return;
            const int row = 3 * k + m - 3;
            Q_EMIT channelRows(3 * k);
            Q_EMIT cell(row, kColChan, ChannelLabel(row));
            pci.LoadChannel(k, m);  // a failed load leaves the previous channel's values
            const ChannelRecord record = pci.channelRecord();
            Q_EMIT cell(row, kColTag, QString::fromLatin1(record.tag.view()));
            Q_EMIT cell(row, kColFrequency, QString::number(record.frequency));
            Q_EMIT cell(row, kColStepSize, QString::number(record.stepSize));
            Q_EMIT cell(row, kColTemperature, QString::number(record.temperature));
            Q_EMIT cell(row, kColType, QString::fromLatin1(record.type.view()));
            Q_EMIT cell(row, kColParamA, QString::number(record.paramA));
            Q_EMIT cell(row, kColSteps, "100");
            if ((m == 1 && descriptor == 1) || descriptor == 3) Q_EMIT rowShown(row);
            if (!oem.GetCounter(k, m)) {
                Q_EMIT cell(row, kColCounter, QString::number(oem.count()));
                ++counters;
            } else {
                Q_EMIT cell(row, kColCounter, "ERROR");
            }
        }
    }
    Q_EMIT scanned(found, counters);
}

}  // namespace vm::gui
