#include "gui/thread_oem_get_thresholds.h"

#include "gui/app_context.h"

namespace vm::gui {

TOEMGetThresHolds::TOEMGetThresHolds(AppContext& context, std::uint8_t module, std::uint8_t channel,
                                     EncoderHandshake& handshake, QObject* parent)
    : QThread(parent), context_(context), module_(module), channel_(channel), handshake_(handshake) {}

void TOEMGetThresHolds::run() {
    if (!BorrowLink(handshake_, context_.clock, kPauseChecks, [this] { return isInterruptionRequested(); })) {
        Q_EMIT noPause();
        return;
    }
    OEM& oem = context_.oem;
    if (!oem.ReadDetector(module_, channel_)) Q_EMIT detectorRead(oem.high(), oem.low(), oem.gain());
    ReturnLink(handshake_);
}

}  // namespace vm::gui
