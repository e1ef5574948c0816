#include "gui/thread_oem_set_thresholds.h"

#include "gui/app_context.h"

namespace vm::gui {

TOEMSetThresHolds::TOEMSetThresHolds(AppContext& context, std::uint8_t module, std::uint8_t channel,
                                     std::uint8_t high, std::uint8_t low, std::uint8_t gain,
                                     EncoderHandshake& handshake, QObject* parent)
    : QThread(parent),
      context_(context),
      module_(module),
      channel_(channel),
      high_(high),
      low_(low),
      gain_(gain),
      handshake_(handshake) {}

void TOEMSetThresHolds::run() {
    // The same bound as the reader's: a measurement that does not pause within about 10 s
    // (it ended meanwhile) gets nothing sent.
    if (!BorrowLink(handshake_, context_.clock, kPauseChecks, [this] { return isInterruptionRequested(); })) {
        Q_EMIT noPause();
        return;
    }
    OEM& oem = context_.oem;
    if (!oem.SetHigh(module_, channel_, high_)) {
        Q_EMIT highWritten(high_);
        context_.clock.sleepMs(kAfterWriteMs);
    }
    if (!oem.SetLow(module_, channel_, low_)) {
        Q_EMIT lowWritten(low_);
        context_.clock.sleepMs(kAfterWriteMs);
    }
    if (!oem.SetGain(module_, channel_, gain_)) {
        Q_EMIT gainWritten(gain_);
        context_.clock.sleepMs(kAfterWriteMs);
    }
    ReturnLink(handshake_);
}

}  // namespace vm::gui
