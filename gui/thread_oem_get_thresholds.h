#pragma once
// Reads the detector settings (gain and the high and low thresholds) of one encoder channel while
// the encoder measurement runs, borrowing the link through the handshake. Gives up after about
// 10 s without the sampler's acknowledge and then changes nothing.
#include <QThread>
#include <cstdint>

#include "gui/encoder_handshake.h"

namespace vm::gui {

struct AppContext;

class TOEMGetThresHolds final : public QThread {
    Q_OBJECT

  public:
    TOEMGetThresHolds(AppContext& context, std::uint8_t module, std::uint8_t channel,
                      EncoderHandshake& handshake, QObject* parent = nullptr);

  Q_SIGNALS:
    void detectorRead(int high, int low, int gain);
    // The measurement did not pause in time; nothing was sent.
    void noPause();

  protected:
    void run() override;

  private:
    AppContext& context_;
    std::uint8_t module_;
    std::uint8_t channel_;
    EncoderHandshake& handshake_;
};

}  // namespace vm::gui
