#include "gui/thread_oem_measurement.h"

#include <QFile>
#include <algorithm>
#include <cstdio>

#include "gui/app_context.h"

namespace vm::gui {

TOEMMeasurement::TOEMMeasurement(AppContext& context, std::uint8_t module, std::uint8_t channel,
                                 Direction direction, std::uint16_t temperature, EncoderHandshake& handshake,
                                 const std::atomic<bool>& stop, const QString& logPath, QObject* parent)
    : QThread(parent),
      context_(context),
      module_(module),
      channel_(channel),
      direction_(direction),
      temperature_(temperature),
      handshake_(handshake),
      stop_(stop),
      logPath_(logPath),
      // Reserved once for the whole measurement, so storing a sample never allocates.
      samples_(std::make_unique<EncoderSample[]>(kMaxSamples)) {}

void TOEMMeasurement::run() {
    OEM& oem = context_.oem;
    VMDM& vmdm = context_.vmdm;
    const std::uint8_t m = module_;
    const std::uint8_t c = channel_;

    if (direction_ != Direction::None) {
        const std::uint8_t direction = direction_ == Direction::Cw ? 1 : 0;
        if (direction_ == Direction::Cw)
            oem.CountUp(m, c);
        else
            oem.CountDown(m, c);
        context_.clock.sleepMs(kBeforeMoveMs);
        // A continuous run; its result is not shown.
        vmdm.Move(m, c, "PROFILE1", temperature_, direction, kMoveFrequency, kMoveStepSize, 0);
    }

    const double frequency = static_cast<double>(context_.clock.frequency());
    QFile log(logPath_);
    bool logOk = log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
    if (logOk) logOk = log.write("Time[s]\tAnalog[]\tCount[]\n") > 0;

    std::size_t stored = 0;
    while (!stop_.load() && stored < kMaxSamples && !isInterruptionRequested()) {
        const std::int64_t counter = context_.clock.counter();
        if (handshake_.linkRequest.load()) {
            // A detector thread has the link until it withdraws its request.
            while (handshake_.linkRequest.load() && !isInterruptionRequested()) {
                handshake_.pauseAck.store(true);
                std::this_thread::yield();
            }
            handshake_.pauseAck.store(false);
        }
        if (oem.GetCounter(m, c)) continue;
        samples_[stored] = {static_cast<double>(counter) / frequency, oem.analog(), oem.count()};
        published_.store(++stored, std::memory_order_release);
    }
    handshake_.pauseAck.store(false);

    if (logOk && stored > 0) {
        const double first = samples_[0].time;
        QByteArray lines;
        char line[64];
        for (std::size_t i = 0; i < stored; ++i) {
            const EncoderSample& s = samples_[i];
            const int n = std::snprintf(line, sizeof line, "%f\t%d\t%d\n", s.time - first, s.analog, s.count);
            lines.append(line, n > 0 ? std::min<int>(n, sizeof line - 1) : 0);
        }
        logOk = log.write(lines) == lines.size();
    }
    if (logOk) logOk = log.flush();
    log.close();
    vmdm.Stop(m);
    if (!logOk) Q_EMIT logFailed(logPath_);
}

}  // namespace vm::gui
