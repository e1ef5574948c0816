#pragma once
// The amplifier characteristic of one drive-module channel: start the measurement, poll until the
// module stops, read the 512-point transfer table, list it in hexadecimal and hand the curve and
// its push and pull sensitivity to the window's chart in one step.
#include <QList>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QThread>
#include <array>
#include <cstdint>

namespace vm::gui {

struct AppContext;

// The characteristic: the push half in bytes 0 to 255, the pull half in 256 to 511.
using AmplifierBytes = std::array<std::uint8_t, 512>;

struct AmplifierCurves {
    std::array<double, 256> push{};
    std::array<double, 256> pull{};
};

// A table byte scaled from the module's 0 to 227 to 0 to 255 (integer arithmetic, 8 bits kept).
std::uint8_t ScaleAmplifierByte(std::uint8_t value);
// The 32 lines of 16 bytes each, "%2X" separated by single spaces.
QStringList AmplifierHexLines(const AmplifierBytes& bytes);
// The push and pull sensitivity (differences of neighbouring bytes), smoothed forward then
// backward over four neighbours.
AmplifierCurves ComputeAmplifierCurves(const AmplifierBytes& bytes);

class TVMDMMeasurement final : public QThread {
    Q_OBJECT

  public:
    // Status polls after "SAM" before the measurement counts as not finished (100 s at 100 ms).
    static constexpr int kMaxPolls = 1000;
    static constexpr std::uint32_t kPollMs = 100;
    // Progress steps of a whole measurement: every poll and every table byte.
    static constexpr int kProgressSteps = kMaxPolls + 512;

    TVMDMMeasurement(AppContext& context, std::uint8_t module, std::uint8_t channel,
                     QObject* parent = nullptr);

  Q_SIGNALS:
    void line(const QString& text);
    void progress(int value);
    // The characteristic (512 points), the push and the pull sensitivity (255 points each).
    void curves(const QList<QPointF>& characteristic, const QList<QPointF>& push, const QList<QPointF>& pull);
    // The measurement was refused or did not finish: no table and no curves follow.
    void failed();

  protected:
    void run() override;

  private:
    AppContext& context_;
    std::uint8_t module_;
    std::uint8_t channel_;
};

}  // namespace vm::gui
