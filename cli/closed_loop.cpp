#include "cli/closed_loop.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "cli/drive_module.h"
#include "cli/profiles.h"

namespace vm::cli {

namespace {

// Where the words of one enable form sit (word 2 is the first argument).
struct EnableLayout {
    std::size_t stride;       // words per axis
    std::size_t temperature;  // index of TEMP; TRQFR, when present, follows it
    bool hasMiddleWord;       // SCAN or TOL between STAGE and CLEAR
};

constexpr EnableLayout kShortForm{2, 8, false};
constexpr EnableLayout kLongForm{3, 11, true};

enum class EnableKind { Scan, Tolerance };

// Everything one "FBEN" line carries.
struct AxisLine {
    double scaleFactor = 0;
    char axisKind = 0;
    double scanValue = 0;
    double loopValue = 0;
    int riseTime = 0;
    int invertDirection = 0;
    double clear = 0;
    int loopInteger = 1;
};

// The scan value scales the stage's scan base with the temperature; it equals the base at 293 K.
double ScanValue(long temperature, double scanBase) {
    return static_cast<double>(temperature) * 0.8 * scanBase * 0.0034602076124567475 +
           scanBase * 0.18892733564013842;
}

// A stage runs in closed loop only with a position sensor, that is with a linear or rotary axis
// kind, and with a drive profile. A stage without an axis kind would put a zero character into the
// "FBEN" line and cut it short, so such stages are refused before any line is sent.
constexpr const char* kNoSensor =
    "Stage %.*s (axis %d) has no position sensor and cannot run in closed loop; nothing was sent\n";

bool UsableInClosedLoop(const StageDriveRecord& record) {
    return (record.axisKind == 'L' || record.axisKind == 'R') &&
           ProfileOfCode(record.profileCode).has_value();
}

void Enable(Session& s, const Words& w, EnableKind kind) {
    const EnableLayout& layout = w.argCount() >= 10 ? kLongForm : kShortForm;
    // The validator keeps TEMP within 0 to 300 and TRQFR within 1 to 30; the clamps only keep a
    // direct caller's values inside the rise-time formula's argument types.
    const long temperature = std::clamp<long>(w.integer(layout.temperature), 0, 65535);
    const long torque =
        w.count() > layout.temperature + 1 ? std::clamp<long>(w.integer(layout.temperature + 1), 1, 255) : 1;

    auto& records = s.state().stages;
    bool refused = false;
    for (std::size_t axis = 0; axis < records.size(); ++axis) {
        const std::size_t stageWord = 2 + axis * layout.stride;
        BuildStageDriveRecord(records[axis], w.word(stageWord));
        if (!UsableInClosedLoop(records[axis])) {
            const std::string_view name = w.word(stageWord);
            s.print(kNoSensor, static_cast<int>(name.size()), name.data(), static_cast<int>(axis) + 1);
            refused = true;
        }
    }
    if (refused) return;

    std::array<AxisLine, 3> lines{};
    for (std::size_t axis = 0; axis < lines.size(); ++axis) {
        const StageDriveRecord& record = records[axis];
        const DriveProfile profile = *ProfileOfCode(record.profileCode);
        const std::size_t first = 2 + axis * layout.stride;
        const std::size_t clearWord = first + (layout.hasMiddleWord ? 2 : 1);
        AxisLine& line = lines[axis];
        line.scaleFactor = record.scaleFactor;
        line.axisKind = record.axisKind;
        line.clear = w.real(clearWord);
        line.loopInteger = record.loopInteger;
        line.invertDirection = profile.invertDirection;
        line.riseTime =
            ComputeRiseTime(s.console(), profile.paramA, profile.paramB,
                            static_cast<std::uint16_t>(temperature), 100, static_cast<std::uint8_t>(torque));
        if (kind == EnableKind::Tolerance) {
            line.loopValue = w.real(first + 1) * 1000000;
        } else {
            line.loopValue = record.loopValue;
            if (layout.hasMiddleWord && w.integer(first + 1) == 1)
                line.scanValue = ScanValue(temperature, record.scanBase);
        }
    }

    // Only the reply to the last line is shown; the first two are not examined.
    for (std::size_t axis = 0; axis < lines.size(); ++axis) {
        const AxisLine& l = lines[axis];
        s.exchange("FBEN %d %E %c %E %E %d %d %E %d\r", static_cast<int>(axis), l.scaleFactor, l.axisKind,
                   l.scanValue, l.loopValue, l.riseTime, l.invertDirection, l.clear, l.loopInteger);
    }
    s.tokenize();
    PrintStatus(s);
}

void ExchangeAndReport(Session& s, const char* line) {
    s.exchange("%s", line);
    s.tokenize();
    PrintStatus(s);
}

}  // namespace

void HandleFBEN(Session& s, const Words& w) { Enable(s, w, EnableKind::Scan); }

void HandleFBENX(Session& s, const Words& w) { Enable(s, w, EnableKind::Tolerance); }

void HandleFBCS(Session& s, const Words& w) {
    s.exchange("FBCS %.9f %d %.9f %d %.9f %d\r", w.real(2), static_cast<int>(w.integer(3)), w.real(4),
               static_cast<int>(w.integer(5)), w.real(6), static_cast<int>(w.integer(7)));
    s.tokenize();
    PrintStatus(s);
}

// The state lines are printed whatever the status word: a short reply leaves the later slots as an
// earlier reply filled them.
void HandleFBST(Session& s, const Words&) {
    s.exchange("FBST\r");
    const Tokens& t = s.tokenize();
    PrintStatus(s);
    const auto v = [&t](std::size_t k) { return t.integer(k); };
    s.print(
        "ENABLED:%d\nFINISHED:%d\nTIME-OUT1:%d\nTIME-OUT2:%d\nTIME-OUT3:%d\nINVALID_SETPOINT1:%d\n"
        "INVALID_SETPOINT2:%d\nINVALID_SETPOINT3:%d\nPOSITION_ERROR1:%d\nPOSITION_ERROR2:%d\n"
        "POSITION_ERROR3:%d\n",
        v(1), v(2), v(3), v(4), v(5), v(6), v(7), v(8), v(9), v(10), v(11));
}

void HandleFBFE(Session& s, const Words& w) {
    s.exchange("FBFE %d %d %d\r", static_cast<int>(w.integer(2)), static_cast<int>(w.integer(3)),
               static_cast<int>(w.integer(4)));
    s.tokenize();
    PrintStatus(s);
}

void HandleFBXT(Session& s, const Words&) { ExchangeAndReport(s, "FBXT\r"); }

void HandleFBES(Session& s, const Words&) { ExchangeAndReport(s, "FBES\r"); }

}  // namespace vm::cli
