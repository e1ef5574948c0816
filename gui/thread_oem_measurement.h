#pragma once
// The encoder measurement: optionally sets the counting direction and starts a continuous move,
// then samples the encoder counter and analog level of one channel as fast as the link answers,
// until stopped or 108000 samples are stored, and writes them to the measurement log. The window
// reads the samples stored so far (published()) at its own pace; the sampler never waits for it.
#include <QString>
#include <QThread>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "gui/encoder_handshake.h"

namespace vm::gui {

struct AppContext;

struct EncoderSample {
    double time;  // seconds of the high-resolution counter
    std::int32_t analog;
    std::int32_t count;
};

class TOEMMeasurement final : public QThread {
    Q_OBJECT

  public:
    static constexpr std::size_t kMaxSamples = 108000;
    static constexpr std::uint32_t kBeforeMoveMs = 300;
    static constexpr std::uint16_t kMoveFrequency = 10;
    static constexpr std::uint8_t kMoveStepSize = 100;

    // Which way the actuator runs while sampling; None samples without moving.
    enum class Direction { None, Cw, Ccw };

    TOEMMeasurement(AppContext& context, std::uint8_t module, std::uint8_t channel, Direction direction,
                    std::uint16_t temperature, EncoderHandshake& handshake, const std::atomic<bool>& stop,
                    const QString& logPath, QObject* parent = nullptr);

    // Samples stored so far; samples below this index no longer change.
    std::size_t published() const { return published_.load(std::memory_order_acquire); }
    const EncoderSample& sample(std::size_t index) const { return samples_[index]; }

  Q_SIGNALS:
    // The measurement log could not be created or written.
    void logFailed(const QString& path);

  protected:
    void run() override;

  private:
    AppContext& context_;
    std::uint8_t module_;
    std::uint8_t channel_;
    Direction direction_;
    std::uint16_t temperature_;
    EncoderHandshake& handshake_;
    const std::atomic<bool>& stop_;
    QString logPath_;
    std::unique_ptr<EncoderSample[]> samples_;
    std::atomic<std::size_t> published_{0};
};

}  // namespace vm::gui
