#pragma once
// Encoder-module commands of the command-line tool: counters, detector settings, laser duty
// cycle, counter direction, and the calibration-control operations that the development-mode
// commands and the calibration procedure share.
#include <cstdint>

#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

// A slot number plus this is the encoder module's address on the wire (slot 1 is 10).
inline constexpr int kEncoderAddressOffset = 9;
// The module reports counters offset by this value: a reported 131072 is the count 0.
inline constexpr long kCounterOffset = 131072;
// Samples are read in blocks of eight; each table holds at most this many.
inline constexpr std::uint32_t kMaxPeakSamples = 400;
inline constexpr int kSamplesPerBlock = 8;
// StartCalibration sends "CAL" once and then resends it up to this many times.
inline constexpr int kCalibrationResends = 10;

// Handlers, one per command word (words: ADDR at 2, then the command's own arguments).
void HandlePOS(Session& s, const Words& w);   // counter and RVL value of one channel
void HandlePOSA(Session& s, const Words& w);  // the three counters
void HandleRST(Session& s, const Words& w);   // counter to zero
void HandleDSG(Session& s, const Words& w);   // post-detector gain
void HandleDSH(Session& s, const Words& w);   // upper comparator threshold
void HandleDSL(Session& s, const Words& w);   // lower comparator threshold
void HandleMLS(Session& s, const Words& w);   // detector settings from flash
void HandleMSS(Session& s, const Words& w);   // detector settings to flash
void HandleSLD(Session& s, const Words& w);   // laser duty cycle
void HandleCCU(Session& s, const Words& w);   // counter counts up
void HandleCCD(Session& s, const Words& w);   // counter counts down
void HandleCSH(Session& s, const Words& w);   // counter holds
void HandleCAL(Session& s, const Words& w);   // StartCalibration, reporting
void HandleCAS(Session& s, const Words& w);   // StopCalibration, reporting
void HandleCCT(Session& s, const Words& w);   // ReadCalibrationCount, reporting
void HandleCRP(Session& s, const Words& w);   // ReadPeakSamples, reporting

// The calibration-control operations. Each takes ADDR (word 2) and StartCalibration also CH
// (word 3) from the command line; `reporting` selects the progress lines.

// Starts sampling on the channel; true once the module acknowledged "CAL".
bool StartCalibration(Session& s, const Words& w, bool reporting);
void StopCalibration(Session& s, const Words& w, bool reporting);
// The number of pulses counted since the calibration started (token 1 of the "CCT" reply).
long ReadCalibrationCount(Session& s, const Words& w, bool reporting);
// Reads the sample counts and the high and low sample blocks into the session's sample state.
void ReadPeakSamples(Session& s, const Words& w, bool reporting);

}  // namespace vm::cli
