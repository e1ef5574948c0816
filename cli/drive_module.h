#pragma once
// Drive-module commands of the command-line tool, and the reply printers and counter helpers that
// the encoder, closed-loop, calibration and module-listing commands share with them.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "cli/profiles.h"
#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

// The busy loops (WaitUntilIdle and the stop loops) send stops until the module answers something
// other than busy. A healthy module stops at the first request; one that is still busy after this
// much waiting between stops is treated as not stopping: the loop gives up and says so.
inline constexpr std::uint32_t kStopLoopBudgetMs = 30'000;
// Status polls while the capacitance and amplifier measurements run (100 ms apart).
inline constexpr int kCapacitancePolls = 100;
inline constexpr int kAmplifierPolls = 1000;
inline constexpr std::uint32_t kMeasurementPollMs = 100;

// The console line of the reply's status word; nothing for an empty reply buffer. Tokenizes the
// reply when it is not empty.
void PrintStatus(Session& s);
// An empty line, then one block per set failsafe bit of the low 8 bits, or the all-good line.
void PrintFailsafe(Session& s, long value);

// True when the raw reply is one of the words, with or without its carriage return: the LAN link
// hands over replies without it, the other links with it.
bool ReplyIsAnyOf(const Session& s, std::initializer_list<std::string_view> words);

// Which replies count as busy and how long to wait around the stops of WaitUntilIdle.
struct IdleWait {
    std::initializer_list<std::string_view> busy;
    std::uint32_t stopWaitMs;
    std::uint32_t statusWaitMs;  // between the status exchange and the first test
};

// Asks the module in slot `address` for its status and stops it while it answers busy. Returns
// false (after printing why) when the module still answers busy when the stop budget is spent.
bool WaitUntilIdle(Session& s, const char* address, const IdleWait& wait);

// "CCU"/"CCD" (up 1/0) and "CSH" lines for the encoder counter at wire address index + 10. The
// replies are not read.
void CounterDirectionLowLevel(Session& s, long index, long channel, long up);
void CounterHoldLowLevel(Session& s, long index);

// The drive profile a stage word or a drive-profile name selects: a stage word uses its family's
// profile, any other word is looked up as a profile name. nullopt when neither names a row.
std::optional<DriveProfile> ResolveDriveProfile(std::string_view word, StageDriveRecord& record);

// Handlers. Those with `report` end with PrintStatus when it is set.
void HandleMOV(Session& s, const Words& w, bool report);
void HandleEXT(Session& s, const Words& w, bool report);
void HandleSDC(Session& s, const Words& w, bool report);
void HandleSTP(Session& s, const Words& w, bool report);
void HandleSTS(Session& s, const Words& w);
void HandleRFS(Session& s, const Words& w);
void HandleSCM(Session& s, const Words& w);
void HandleSAM(Session& s, const Words& w);
void HandleFBP(Session& s, const Words& w);
void HandleFBM(Session& s, const Words& w);
void HandleFBS(Session& s, const Words& w);
void HandleFBX(Session& s, const Words& w);
void HandleDESC(Session& s, const Words& w);
void HandleINFO(Session& s, const Words& w);

// The encoder-coupled move and stop of the calibration measurement, with the words of an OEMC
// command (ADDR CH STAGE TEMP DIR FREQ [REQ-PULSES TIMEOUT]); their counter lines address the
// encoder module in slot ADDR. MoveWithEncoder returns whether it sent the move line (not when the
// third word names no drive profile or the module would not stop).
bool MoveWithEncoder(Session& s, const Words& w, bool report);
void StopWithEncoder(Session& s, const Words& w, bool report);

}  // namespace vm::cli
