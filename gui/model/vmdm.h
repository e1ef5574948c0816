#pragma once
// The drive-module commands of the desktop program and the drive-profile table. Each operation
// is one controller exchange (a few for MeasureCapacitance) run under the current link's lock;
// it returns the failure flag (true: failed) and leaves the values it read in the fields below.
// A failed exchange is judged as an empty reply, and values are read only from tokens the reply
// itself carried, never from what an earlier reply left in the parser.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "gui/model/current_link.h"
#include "gui/model/vmdef.h"
#include "link/fixed_text.h"

namespace vm::gui {

class VMDM {
  public:
    using AmplifierRow = std::array<std::uint8_t, 8>;
    using AmplifierTable = std::array<AmplifierRow, 64>;

    static constexpr std::uint8_t kLastAmplifierRow = 63;
    static constexpr int kCapacitancePolls = 200;  // status polls before the result is read anyway
    static constexpr std::uint32_t kPollWaitMs = 100;

    explicit VMDM(CurrentLink& link);

    // Starts a move on channel c of module m. A type that names no profile refuses the move:
    // nothing is sent and the result is failure, because its rise time and direction are unknown.
    bool Move(std::uint8_t m, std::uint8_t c, std::string_view type, std::uint16_t temperature,
              std::uint8_t direction, std::uint16_t frequency, std::uint8_t stepSize, std::uint16_t steps);
    bool Stop(std::uint8_t m);
    bool Status(std::uint8_t m);
    bool MeasureCapacitance(std::uint8_t m, std::uint8_t c);
    bool StartAmplifierMeasurement(std::uint8_t m, std::uint8_t c);
    // Rows above 63 read row 63.
    bool ReadAmplifierValues(std::uint8_t m, std::uint8_t row);
    bool ReadFailsafe(std::uint8_t m);
    bool ReadDescriptor(std::uint8_t m);

    // Rise time in microseconds for the profile named by the type; empty when no profile matches.
    std::optional<std::uint16_t> RiseTime(std::string_view type, std::uint16_t temperature,
                                          std::uint8_t stepSize) const;
    // The direction a move sends: inverted for profiles with invertDirection 1; empty when no
    // profile matches.
    std::optional<std::uint8_t> EffectiveDirection(std::string_view type, std::uint8_t direction) const;

    // Values of the last accepted replies (copies taken under the lock).
    std::string status() const;
    std::uint8_t failsafe() const;
    AmplifierTable amplifierTable() const;
    std::uint16_t capacitance() const;
    std::uint8_t descriptor() const;
    const ProfileTable& profiles() const { return profiles_; }
    std::uint8_t profileCount() const { return kProfileCount; }

  private:
    CurrentLink& link_;
    FixedText<9> status_;
    std::uint8_t failsafe_ = 255;
    AmplifierTable amplifierTable_{};
    std::uint16_t capacitance_ = 0;
    std::uint8_t descriptor_ = 3;
    const ProfileTable profiles_;
};

// The rise-time formula: 1000 * sqrt(2 * (2 * paramB * R * (0.003 * T + 0.14) * 0.68^2) / (paramA * 100))
// in double precision, at least 5, truncated toward zero. Results that do not fit 16 bits (only
// possible for a profile with paramA 0 or far outside the table) give 65535.
std::uint16_t ComputeRiseTime(const VMdef& profile, std::uint16_t temperature, std::uint8_t stepSize);

}  // namespace vm::gui
