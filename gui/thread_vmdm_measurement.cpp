#include "gui/thread_vmdm_measurement.h"

#include "gui/app_context.h"

namespace vm::gui {

std::uint8_t ScaleAmplifierByte(std::uint8_t value) {
    return static_cast<std::uint8_t>(unsigned{value} * 255u / 227u);
}

QStringList AmplifierHexLines(const AmplifierBytes& bytes) {
    QStringList lines;
    for (std::size_t row = 0; row < 32; ++row) {
        const std::uint8_t* b = &bytes[row * 16];
        lines << QString::asprintf("%2X %2X %2X %2X %2X %2X %2X %2X %2X %2X %2X %2X %2X %2X %2X %2X", b[0],
                                   b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                                   b[13], b[14], b[15]);
    }
    return lines;
}

namespace {

void Smooth(std::array<double, 256>& a) {
    for (std::size_t i = 3; i <= 254; ++i) a[i] = (a[i - 3] + a[i - 2] + a[i - 1] + a[i]) / 4;
    for (std::size_t i = 250; i >= 1; --i) a[i] = (a[i] + a[i + 1] + a[i + 2] + a[i + 3]) / 4;
}

}  // namespace

AmplifierCurves ComputeAmplifierCurves(const AmplifierBytes& bytes) {
    AmplifierCurves curves;
    for (std::size_t i = 0; i <= 254; ++i) {
        curves.push[i + 1] = double(bytes[i + 1]) - double(bytes[i]);
        curves.pull[i + 1] = double(bytes[256 + i]) - double(bytes[255 + i]);
    }
    Smooth(curves.push);
    Smooth(curves.pull);
    return curves;
}

TVMDMMeasurement::TVMDMMeasurement(AppContext& context, std::uint8_t module, std::uint8_t channel,
                                   QObject* parent)
    : QThread(parent), context_(context), module_(module), channel_(channel) {}

void TVMDMMeasurement::run() {
    VMDM& vmdm = context_.vmdm;
    const std::uint8_t m = module_;
    Q_EMIT line("AMPLIFIER MEASUREMENT: " + QString::number(m) + QChar('@' + channel_));
    int progressValue = 0;
    // Positions of a row that could not be read hold 0.
    AmplifierBytes bytes{};

    // A measurement that did not start or did not finish has no table worth reading: an error
    // line, and neither a table nor a chart, so an earlier result is never shown as this one's.
    if (vmdm.StartAmplifierMeasurement(m, channel_)) {
        Q_EMIT line(">ERROR: amplifier measurement refused by the module");
        Q_EMIT failed();
        return;
    }
    bool stopped = false;
    for (int poll = 0; poll < kMaxPolls; ++poll) {
        if (isInterruptionRequested()) return;
        if (vmdm.status() == "_STP") {
            stopped = true;
            break;
        }
        vmdm.Status(m);
        context_.clock.sleepMs(kPollMs);
        Q_EMIT progress(++progressValue);
    }
    if (!stopped) stopped = vmdm.status() == "_STP";
    if (!stopped) {
        Q_EMIT line(QString::asprintf(">ERROR: amplifier measurement did not finish within %d s",
                                      static_cast<int>(kMaxPolls * kPollMs / 1000)));
        Q_EMIT failed();
        return;
    }
    for (std::uint8_t row = 0; row <= VMDM::kLastAmplifierRow; ++row) {
        if (isInterruptionRequested()) return;
        if (vmdm.ReadAmplifierValues(m, row)) continue;
        const VMDM::AmplifierRow values = vmdm.amplifierTable()[row];
        for (std::size_t k = 0; k < values.size(); ++k) {
            bytes[row * 8u + k] = ScaleAmplifierByte(values[k]);
            Q_EMIT progress(++progressValue);
        }
    }
    for (const QString& l : AmplifierHexLines(bytes)) Q_EMIT line(l);

    const AmplifierCurves sensitivity = ComputeAmplifierCurves(bytes);
    QList<QPointF> characteristic;
    characteristic.reserve(512);
    for (int i = 0; i <= 255; ++i) characteristic << QPointF(i, bytes[static_cast<std::size_t>(i)]);
    for (int i = 0; i <= 255; ++i)
        characteristic << QPointF(256 - i, bytes[static_cast<std::size_t>(256 + i)]);
    QList<QPointF> push;
    QList<QPointF> pull;
    push.reserve(255);
    pull.reserve(255);
    for (std::size_t i = 0; i <= 254; ++i) {
        push << QPointF(double(i), sensitivity.push[i]);
        pull << QPointF(double(i), sensitivity.pull[i]);
    }
    Q_EMIT curves(characteristic, push, pull);
    Q_EMIT line("==== TEST FINISHED ====");
}

}  // namespace vm::gui
