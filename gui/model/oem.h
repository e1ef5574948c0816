#pragma once
// The optical-encoder-module commands of the desktop program. The encoder module that serves the
// drive module in slot m answers at address m + 10, which every command here sends first.
#include <cstdint>

#include "gui/model/current_link.h"

namespace vm::gui {

class OEM {
  public:
    // Encoder counters travel offset by 131072: a reported 131072 is the count 0.
    static constexpr std::int32_t kCounterOffset = 131072;

    explicit OEM(CurrentLink& link) : link_(link) {}

    // Each returns the failure flag (true: failed); reads keep their fields on failure.
    bool GetCounter(std::uint8_t m, std::uint8_t c);
    bool CountUp(std::uint8_t m, std::uint8_t c);
    bool CountDown(std::uint8_t m, std::uint8_t c);
    bool HoldCounter(std::uint8_t m, std::uint8_t c);
    bool ZeroCounter(std::uint8_t m, std::uint8_t c);
    bool SetHigh(std::uint8_t m, std::uint8_t c, std::uint8_t value);
    bool SetLow(std::uint8_t m, std::uint8_t c, std::uint8_t value);
    bool SetGain(std::uint8_t m, std::uint8_t c, std::uint8_t value);
    bool ReadDetector(std::uint8_t m, std::uint8_t c);
    bool StoreDetector(std::uint8_t m, std::uint8_t c);

    // Values of the last successful reads (copies taken under the lock).
    std::int32_t count() const;
    std::int32_t analog() const;
    std::uint8_t high() const;
    std::uint8_t low() const;
    std::uint8_t gain() const;

  private:
    // Sends "<word> m+10 c\r" and succeeds when token 0 is "_<word>".
    bool simple(const char* word, std::uint8_t m, std::uint8_t c);
    bool withValue(const char* word, std::uint8_t m, std::uint8_t c, std::uint8_t value);

    CurrentLink& link_;
    std::int32_t count_ = 0;
    std::int32_t analog_ = 0;
    std::uint8_t high_ = 0;
    std::uint8_t low_ = 0;
    std::uint8_t gain_ = 0;
};

}  // namespace vm::gui
