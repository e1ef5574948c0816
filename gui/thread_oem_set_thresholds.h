#pragma once
// Writes the detector settings of one encoder channel while the encoder measurement runs:
// "DSH", "DSL" and "DSG" in this order, each reported only when the module accepted it.
#include <QThread>
#include <cstdint>

#include "gui/encoder_handshake.h"

namespace vm::gui {

struct AppContext;

class TOEMSetThresHolds final : public QThread {
    Q_OBJECT

  public:
    static constexpr std::uint32_t kAfterWriteMs = 100;

    TOEMSetThresHolds(AppContext& context, std::uint8_t module, std::uint8_t channel, std::uint8_t high,
                      std::uint8_t low, std::uint8_t gain, EncoderHandshake& handshake,
                      QObject* parent = nullptr);

  Q_SIGNALS:
    void highWritten(int value);
    void lowWritten(int value);
    void gainWritten(int value);
    // The measurement did not pause in time; nothing was sent.
    void noPause();

  protected:
    void run() override;

  private:
    AppContext& context_;
    std::uint8_t module_;
    std::uint8_t channel_;
    std::uint8_t high_;
    std::uint8_t low_;
    std::uint8_t gain_;
    EncoderHandshake& handshake_;
};

}  // namespace vm::gui
