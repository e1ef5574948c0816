#pragma once
// Resistive-sensor-module commands of the command-line tool: readings in metres or radians,
// excitation, minimum and maximum tracking, bit masks, high-frequency recording, settings store
// and the summary.
#include <string_view>

#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

// A slot number plus this is the sensor module's address on the wire (slot 1 is 10).
inline constexpr int kSensorAddressOffset = 9;
// The short form of EXS always excites at this frequency in Hz.
inline constexpr int kDefaultExcitationHz = 5000;
// HFM asks for one sample again while the reply is not "_BUR"; after this many requests of the
// same sample it gives up. A healthy module answers the first request.
inline constexpr int kMaxSampleRequests = 100;
// HFM ends after this many samples when the module never reports "FINISHED" (about 215 s of
// recording at 204.8 us per sample, far more than a module buffer holds).
inline constexpr long kMaxRecordedSamples = 1L << 20;

// A raw reading in metres (axis kind 'L') or radians ('R'): the reading divided by 2^24 and by
// 10^6, times the stage's scale factor.
double SensorValue(double reading, double scaleFactor);
// "[m]" for 'L', "[rad]" for 'R', empty for any other kind (no value is printed then).
std::string_view UnitText(char axisKind);
// The time of high-frequency sample n in seconds (n × 204.8 us).
double SampleTime(long n);

// Handlers, one per command word (words: ADDR at 2, then the command's own arguments).
void HandlePGV(Session& s, const Words& w);   // reading of one channel
void HandlePGVA(Session& s, const Words& w);  // readings of the three channels
void HandleEXS(Session& s, const Words& w);   // excitation duty cycle (and frequency)
void HandleEXR(Session& s, const Words& w);   // excitation read-back
void HandleMIS(Session& s, const Words& w);   // minimum set
void HandleMAS(Session& s, const Words& w);   // maximum set
void HandleMIR(Session& s, const Words& w);   // minimum read
void HandleMAR(Session& s, const Words& w);   // maximum read
void HandleMMR(Session& s, const Words& w);   // minimum and maximum reset
void HandleSKS(Session& s, const Words& w);   // bitmask set
void HandleSKR(Session& s, const Words& w);   // bitmask read
void HandleHFM(Session& s, const Words& w);   // high-frequency recording
void HandleRSS(Session& s, const Words& w);   // settings to flash
void HandleINF(Session& s, const Words& w);   // summary: excitation, limits (and bitmasks)

}  // namespace vm::cli
