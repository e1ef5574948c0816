#include "cli/drive_module.h"

#include <algorithm>
#include <limits>
#include <string>

#include "cli/profiles.h"

namespace vm::cli {

namespace {

struct StatusLine {
    std::string_view word;
    std::string_view text;
};

// Compared in this order; the first matching word wins.
constexpr StatusLine kStatusLines[] = {
    {"_MOV", "STATUS : MOVE\n"},
    {"_MDC", "STATUS : SCAN\n"},
    {"_STP", "STATUS : STOP\n"},
    {"_GFS", "STATUS : STOP\n"},
    {"MNF", "STATUS : NOT FOUND\n"},
    {"CNR", "STATUS : ERROR\n"},
    {"_SCM", "STATUS : MEASURING CAPACITANCE\n"},
    {"_RCV", "STATUS : MEASURING CAPACITANCE\n"},
    {"_SAM", "STATUS : MEASURING AMPLIFIERR"},
    {"_RFS", "STATUS : RESET\n"},
    {"_EXT", "STATUS : USING EXTERNAL INPUT\n"},
    {"_FBEN", "STATUS : POSITION CONTROL ENABLED\n"},
    {"_FBXT", "STATUS : POSITION CONTROL DISABLED\n"},
    {"_FBCS", "STATUS : POSITION CONTROL SET\n"},
    {"_FBFE", "STATUS : POSITION CONTROL FIND ENDSTOP\n"},
    {"_FBES", "STATUS : POSITION CONTROL STOPPED\n"},
    {"_FBST", "STATUS : POSITION CONTROL INQUIRY\n"},
    {"_FBP", "STATUS : ENTER EXTENDED MODE\n"},
    {"_FBM", "STATUS : MOVE IN EXTENDED MODE\n"},
    {"_FBX", "STATUS : EXIT EXTENDED MODE\n"},
    {"_SCN", "STATUS : INQUIRY OF INSTALLED MODULES \n"},
    {"_SLD", "STATUS : LASER DUTYCYCLE HAS BEEN SET\n"},
    {"_CCU", "STATUS : SET COUNTER COUNT-UP\n"},
    {"_CCD", "STATUS : SET COUNTER COUNT-DOWN\n"},
    {"_CSH", "STATUS : SET COUNTER TO HOLD\n"},
};

struct FailsafeBlock {
    unsigned bit;
    std::string_view text;
};

constexpr std::string_view kRailCausesUpper =
    "    POSSIBLE CAUSES:\n"
    "    1) SHORT CIRCUIT TO PROTECTED EARTH OR REFERENCE\n"
    "    2) CAPACITIVE LOAD OR DRIVE PARAMETERS NOT CORRECT\n"
    " RESET REQUIRED\n\n";
constexpr std::string_view kRailCausesLower =
    "    POSSIBLE CAUSES:\n"
    "    1) SHORT CIRCUIT TO PROTECTIVE EARTH\n"
    "    2) CAPACITIVE LOAD OR DRIVE PARAMETERS NOT CORRECT\n"
    " RESET REQUIRED\n\n";

// Tested in this order, which is not the order of the bit values.
const FailsafeBlock kFailsafeBlocks[] = {
    {0x01, " FAILURE: *UPPER* VOLTAGE RAIL IS MISSING\n   INSPECTION OF UNIT IS REQUIRED\n\n"},
    {0x02, " FAILURE: *LOWER* VOLTAGE RAIL IS MISSING\n   INSPECTION OF UNIT IS REQUIRED\n\n"},
    {0x04, " THERMAL OVERLOAD OF AMPLIFIER STAGE \n LET UNIT COOL DOWN\n\n"},
    {0x40, " FAILURE: OVERCURRENT DETECTED on UPPER RAIL: I>10A t>100us:  \n"},
    {0x20, " FAILURE: OVERCURRENT DETECTED on UPPER RAIL: I>0.15A t>1ms:  \n"},
    {0x10, " FAILURE: OVERCURRENT DETECTED on LOWER RAIL: I>10A t>100us:  \n"},
    {0x08, " FAILURE: OVERCURRENT DETECTED on LOWER RAIL: I>0.15A t>1ms:  \n"},
};

std::string_view CausesOf(unsigned bit) {
    if (bit == 0x40 || bit == 0x20) return kRailCausesUpper;
    if (bit == 0x10 || bit == 0x08) return kRailCausesLower;
    return {};
}

void PrintView(Session& s, const char* fmt, std::string_view text) {
    s.print(fmt, static_cast<int>(text.size()), text.data());
}

// Number of stops a busy loop may send with this wait between them.
int MaxStops(std::uint32_t waitMs) {
    return static_cast<int>(
        std::max<std::uint32_t>(1, kStopLoopBudgetMs / std::max<std::uint32_t>(1, waitMs)));
}

// Sends the stop line while the reply is busy, waiting after each stop. Returns false, after
// saying so, when the module is still busy after the last stop the budget allows.
template <typename SendStop>
bool StopWhileBusy(Session& s, const char* address, std::initializer_list<std::string_view> busy,
                   std::uint32_t waitMs, SendStop sendStop) {
    const int limit = MaxStops(waitMs);
    for (int stops = 0; ReplyIsAnyOf(s, busy); ++stops) {
        if (stops == limit) {
            s.print("Module %s is still busy after %d stop requests; giving up\n", address, limit);
            return false;
        }
        sendStop();
        s.sleepMs(waitMs);
    }
    return true;
}

// The rise-time arguments are 8-bit step size and torque factor and a 16-bit temperature. The
// validated arguments fit; larger values (the pulse count that the encoder-coupled move passes as
// step size) saturate instead of wrapping round to a tiny step.
template <typename T>
T Saturate(long value) {
    return static_cast<T>(std::clamp<long>(value, 0, std::numeric_limits<T>::max()));
}

std::uint16_t RiseTime(Session& s, const DriveProfile& profile, long temperature, long stepSize,
                       long torque) {
    return ComputeRiseTime(s.console(), profile.paramA, profile.paramB, Saturate<std::uint16_t>(temperature),
                           Saturate<std::uint8_t>(stepSize), Saturate<std::uint8_t>(torque));
}

// The profile of the stage word at `index`, kept in the first stage drive record; prints
// "Unable to comply" when the word selects no profile, so nothing is sent for it.
std::optional<DriveProfile> ProfileOfWord(Session& s, const Words& w, std::size_t index) {
    auto profile = ResolveDriveProfile(w.word(index), s.state().stages[0]);
    if (!profile) s.print("Unable to comply\n");
    return profile;
}

}  // namespace

void PrintStatus(Session& s) {
    if (s.reply().empty()) return;
    const std::string_view word = s.tokenize()[0];
    for (const StatusLine& line : kStatusLines) {
        if (line.word == word) {
            s.console().write(line.text);
            return;
        }
    }
    PrintView(s, "STATUS RESPONSE: %.*s\n:", s.reply());
}

void PrintFailsafe(Session& s, long value) {
    s.print("\n");
    const unsigned bits = static_cast<unsigned>(value) & 0xFFu;
    if (bits == 0) {
        s.print(" ALL GOOD, NO ERRORS PRESENT\n\n");
        return;
    }
    for (const FailsafeBlock& block : kFailsafeBlocks) {
        if ((bits & block.bit) == 0) continue;
        s.console().write(block.text);
        s.console().write(CausesOf(block.bit));
    }
}

bool ReplyIsAnyOf(const Session& s, std::initializer_list<std::string_view> words) {
    std::string_view reply = s.reply();
    if (reply.ends_with('\r')) reply.remove_suffix(1);
    return std::find(words.begin(), words.end(), reply) != words.end();
}

bool WaitUntilIdle(Session& s, const char* address, const IdleWait& wait) {
    s.exchange("STS %s\r", address);
    if (wait.statusWaitMs > 0) s.sleepMs(wait.statusWaitMs);
    return StopWhileBusy(s, address, wait.busy, wait.stopWaitMs, [&] { s.exchange("STP %s\r", address); });
}

void CounterDirectionLowLevel(Session& s, long index, long channel, long up) {
    const int address = static_cast<int>(index + 10);
    const int ch = static_cast<int>(channel);
    // Only 1 and 0 are directions; the callers pass a validated DIR word.
    if (up == 1) s.exchange("CCU %d %d lowlevel\r", address, ch);
    if (up == 0) s.exchange("CCD %d %d lowlevel\r", address, ch);
}

void CounterHoldLowLevel(Session& s, long index) {
    s.exchange("CSH %d %d lowlevel\r", static_cast<int>(index + 10), 1);
}

std::optional<DriveProfile> ResolveDriveProfile(std::string_view word, StageDriveRecord& record) {
    BuildStageDriveRecord(record, word);
    if (auto profile = ProfileOfCode(record.profileCode)) return profile;
    const int row = LookupProfile(word);
    if (row > 0) return Profiles()[static_cast<std::size_t>(row)];
    return std::nullopt;
}

// MOV ADDR STAGE TEMP DIR FREQ REL STEPS [TRQFR]
void HandleMOV(Session& s, const Words& w, bool report) {
    const auto profile = ProfileOfWord(s, w, 3);
    if (!profile) return;
    const char* address = w.c(2);
    if (!WaitUntilIdle(s, address, {.busy = {"_MOV", "_MDC"}, .stopWaitMs = 10, .statusWaitMs = 5})) return;
    s.sleepMs(5);
    CounterHoldLowLevel(s, w.integer(2));
    s.sleepMs(5);
    CounterDirectionLowLevel(s, w.integer(2), 1, w.integer(5));
    s.sleepMs(5);
    const long torque = w.count() > 9 ? w.integer(9) : 1;
    const int riseTime = RiseTime(s, *profile, w.integer(4), w.integer(7), torque);
    const int direction = ApplyDirection(profile->invertDirection, static_cast<int>(w.integer(5)));
    const std::string waveform(profile->waveform);
    s.exchange("MOV %s %d %s %s %s %d %s %s\r", address, direction, w.c(6), w.c(7), w.c(8), riseTime, "1",
               waveform.c_str());
    if (report) PrintStatus(s);
}

// EXT ADDR STAGE TEMP DIR FREQ REL [TRQFR]: the direction goes out as typed.
void HandleEXT(Session& s, const Words& w, bool report) {
    const auto profile = ProfileOfWord(s, w, 3);
    if (!profile) return;
    const char* address = w.c(2);
    if (!WaitUntilIdle(s, address, {.busy = {"_EXT"}, .stopWaitMs = 100, .statusWaitMs = 0})) return;
    const long torque = w.count() > 8 ? w.integer(8) : 1;
    const int riseTime = RiseTime(s, *profile, w.integer(4), w.integer(7), torque);
    const std::string waveform(profile->waveform);
    s.exchange("EXT %s %s %s %s %s %d %s %s\r", address, w.c(5), w.c(6), w.c(7), "0", riseTime, "1",
               waveform.c_str());
    if (report) PrintStatus(s);
}

// SDC ADDR VALUE: the DC level travels in the step-size field of a MOV line with the DC waveform;
// the line goes out twice.
void HandleSDC(Session& s, const Words& w, bool report) {
    const char* address = w.c(2);
    if (!WaitUntilIdle(s, address, {.busy = {"_MOV"}, .stopWaitMs = 10, .statusWaitMs = 0})) return;
    const std::string waveform(Profiles()[static_cast<std::size_t>(LookupProfile("TESTDC"))].waveform);
    for (int i = 0; i < 2; ++i)
        s.exchange("MOV %s %s %s %s %s %d %s %s\r", address, "1", "100", w.c(3), "0", 10, "1",
                   waveform.c_str());
    if (report) PrintStatus(s);
}

// STP ADDR
void HandleSTP(Session& s, const Words& w, bool report) {
    const char* address = w.c(2);
    s.exchange("STP %s\r", address);
    StopWhileBusy(s, address, {"_MOV", "_MDC"}, 100, [&] { s.exchange("STP %s\r", address); });
    if (report) PrintStatus(s);
    CounterHoldLowLevel(s, w.integer(2));
}

// STS ADDR: status line, then the failsafe state unless the module is missing or busy. A
// successful exchange with an empty reply carries no status word to judge, so no failsafe query
// follows and the tool says it could not comply instead of printing nothing.
void HandleSTS(Session& s, const Words& w) {
    const bool failed = s.exchange("STS %s\r", w.c(2)) != 0;
    PrintStatus(s);
    if (failed) return;
    if (s.reply().empty()) {
        s.print("Unable to comply\n");
        return;
    }
    if (s.tokens().isAnyOf(0, {"MNF", "_MOV", "_MDC"})) return;
    s.exchange("GFS %s\r", w.c(2));
    const int value = s.tokenize().integer(1);
    s.print("FAILSAFE STATE: 0x%X\n", static_cast<unsigned>(value));
    if (value > 0) PrintFailsafe(s, value);
}

// RFS ADDR
void HandleRFS(Session& s, const Words& w) {
    s.exchange("RFS %s\r", w.c(2));
    s.print(s.tokenize().is(0, "_RFS") ? "Failsafe has been reset\n" : "Unable to comply\n");
}

// SCM ADDR: start the measurement, poll until the module reports stop (at most 100 polls), then
// read the load. Readings outside the open window 20..5000 nF are not a load.
void HandleSCM(Session& s, const Words& w) {
    const char* address = w.c(2);
    if (s.exchange("SCM %s %s\r", address, "1") != 0) return;
    s.tokenize();
    s.print("Measuring Capacitance ...\r");
    for (int poll = 0; poll < kCapacitancePolls; ++poll) {
        s.exchange("STS %s\r", address);
        const bool stopped = s.tokenize().is(0, "_STP");
        s.sleepMs(kMeasurementPollMs);
        if (stopped) break;
    }
    s.exchange("RCV %s\r", address);
    const int value = s.tokenize().integer(1);
    if (value > 20 && value < 5000)
        s.print("Measured Capacitance: %d [nF]\n", value);
    else
        s.print("Unable to determine load\n");
}

// SAM ADDR: start the measurement, poll until the module reports stop (at most 1000 polls of
// 100 ms), then read the 64 rows of eight values. A measurement that has not finished by then has
// no table worth showing: the tool says so and reads nothing.
void HandleSAM(Session& s, const Words& w) {
    const char* address = w.c(2);
    if (s.exchange("SAM %s %s\r", address, "1") != 0) return;
    if (!s.tokenize().is(0, "_SAM")) {
        s.print("No Amplifier found at specified adress...\n");
        return;
    }
    s.print("Measuring Amplifier ...\r");
    bool stopped = false;
    for (int poll = 0; poll < kAmplifierPolls && !stopped; ++poll) {
        s.exchange("STS %s\r", address);
        stopped = s.tokenize().is(0, "_STP");
        s.sleepMs(kMeasurementPollMs);
    }
    if (!stopped) {
        s.print("Amplifier measurement did not finish within %d s\n",
                static_cast<int>(kAmplifierPolls * kMeasurementPollMs / 1000));
        return;
    }
    s.print("Amplifier Measurement\n");
    const int module = static_cast<int>(w.integer(2));
    for (int row = 0; row < 64; ++row) {
        s.exchange("RAV %d %d\r", module, row);
        const Tokens& tokens = s.tokenize();
        for (int k = 0; k < 8; ++k) {
            // A short row reads 0 for its missing values rather than the previous row's values,
            // which the token slots past this reply's tokens still hold.
            const std::size_t slot = static_cast<std::size_t>(k) + 1;
            const unsigned value =
                slot < tokens.count() ? static_cast<unsigned>(tokens.integer(slot)) & 0xFFu : 0u;
            s.print("%X:%X\t", static_cast<unsigned>(row * 8 + k), value);
        }
        s.print("\n");
    }
    s.print("\n");
}

// FBP ADDR STAGE TEMP [TRQFR]: enter extended mode with the stage's rise time at full step size.
void HandleFBP(Session& s, const Words& w) {
    const auto profile = ProfileOfWord(s, w, 3);
    if (!profile) return;
    const long torque = w.count() > 5 ? w.integer(5) : 1;
    const int riseTime = RiseTime(s, *profile, w.integer(4), 100, torque);
    s.exchange("FBP %d %d\r", static_cast<int>(w.integer(2)), riseTime);
    s.tokenize();
    PrintView(s, "%.*s\n", s.reply());
}

// FBM ADDR DIR FREQ
void HandleFBM(Session& s, const Words& w) {
    s.exchange("FBM %d %d %d\r", static_cast<int>(w.integer(2)), static_cast<int>(w.integer(3)),
               static_cast<int>(w.integer(4)));
    s.tokenize();
    PrintView(s, "%.*s\n", s.reply());
}

// FBS ADDR: the line carries no address.
void HandleFBS(Session& s, const Words&) {
    s.exchange("FBS\r");
    s.tokenize();
    PrintView(s, "%.*s\n", s.reply());
}

// FBX ADDR
void HandleFBX(Session& s, const Words& w) {
    s.exchange("FBX %d\r", static_cast<int>(w.integer(2)));
    s.tokenize();
    PrintView(s, "%.*s\n", s.reply());
}

// DESC ADDR: the reply carries the channel count before the version.
void HandleDESC(Session& s, const Words& w) {
    s.exchange("DESC %s\r", w.c(2));
    const Tokens& tokens = s.tokenize();
    if (!tokens.is(0, "_DESC")) {
        s.print("Information not available\n");
        return;
    }
    PrintView(s, "Version           : %.*s\n", tokens[2]);
    PrintView(s, "Available Channels: %.*s\n", tokens[1]);
}

// INFO ADDR CH: the channel record of the rack channel 3 * ADDR + CH - 3 (1 to 18).
void HandleINFO(Session& s, const Words& w) {
    s.exchange("CLS %d\r", static_cast<int>(w.integer(2) * 3 + w.integer(3) - 3));
    const Tokens& tokens = s.tokenize();
    PrintView(s, "STAGE\t:%.*s\n", tokens[7]);
    PrintView(s, "TAG\t:%.*s\n", tokens[8]);
}

// Words: ADDR CH STAGE-OR-PROFILE TEMP DIR FREQ [REQ-PULSES TIMEOUT].
bool MoveWithEncoder(Session& s, const Words& w, bool report) {
    const auto profile = ProfileOfWord(s, w, 4);
    if (!profile) return false;
    const char* address = w.c(2);
    const char* channel = w.c(3);
    s.exchange("STS %s %s OEMC\r", address, channel);
    s.sleepMs(5);
    const bool idle = StopWhileBusy(s, address, {"_MOV", "_MDC"}, 10,
                                    [&] { s.exchange("STP %s %s OEMC\r", address, channel); });
    if (!idle) return false;
    const bool longForm = w.count() > 8;
    if (longForm) {
        s.sleepMs(5);
        CounterHoldLowLevel(s, w.integer(2) - 1);
        s.sleepMs(5);
        CounterDirectionLowLevel(s, w.integer(2) - 1, w.integer(3), w.integer(6));
        s.sleepMs(5);
    }
    const int direction = ApplyDirection(profile->invertDirection, static_cast<int>(w.integer(6)));
    const std::string waveform(profile->waveform);
    if (longForm) {
        const int riseTime = RiseTime(s, *profile, w.integer(5), w.integer(8), 1);
        s.exchange("MOV %s %d %s %s %s %d %s %s OEMC\r", address, direction, w.c(7), w.c(8), w.c(9), riseTime,
                   channel, waveform.c_str());
    } else {
        const int riseTime = RiseTime(s, *profile, w.integer(5), 100, 1);
        s.exchange("MOV %s %d %s %s %s %d %s %s OEMC\r", address, direction, w.c(7), "100", "0", riseTime,
                   channel, waveform.c_str());
    }
    if (report) PrintStatus(s);
    return true;
}

void StopWithEncoder(Session& s, const Words& w, bool report) {
    const char* address = w.c(2);
    const char* channel = w.c(3);
    s.exchange("STP %s %s OEMC\r", address, channel);
    StopWhileBusy(s, address, {"_MOV", "_MDC"}, 100,
                  [&] { s.exchange("STP %s %s OEMC\r", address, channel); });
    if (report) PrintStatus(s);
    CounterHoldLowLevel(s, w.integer(2) - 1);
}

}  // namespace vm::cli
