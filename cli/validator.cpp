#include "cli/validator.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "cli/dispatch.h"
#include "cli/messages.h"
#include "cli/profiles.h"

namespace vm::cli {

namespace {

struct CountRule {
    std::initializer_list<std::string_view> commands;
    std::initializer_list<std::size_t> counts;
    std::initializer_list<std::size_t> developmentCounts;  // accepted only in development mode
    int message;
};

const CountRule kCountRules[] = {
    {{"MOV"}, {7, 8}, {}, 301},     {{"STP"}, {1}, {}, 302},           {{"STS"}, {1}, {}, 303},
    {{"EXT"}, {6, 7}, {}, 304},     {{"SCM"}, {1}, {}, 305},           {{"SAM"}, {1}, {}, 306},
    {{"RFS"}, {1}, {}, 307},        {{"FBP"}, {3, 4}, {}, 308},        {{"FBM"}, {3}, {}, 309},
    {{"FBS"}, {1}, {}, 310},        {{"FBX"}, {1}, {}, 311},           {{"DESC"}, {1}, {}, 315},
    {{"SDC"}, {2}, {}, 316},        {{"POS"}, {2}, {}, 401},           {{"RST"}, {2}, {}, 402},
    {{"SLD"}, {2}, {}, 403},        {{"OEMC"}, {6, 8}, {}, 404},       {{"DSG", "DSH", "DSL"}, {3}, {}, 405},
    {{"MLS", "MSS"}, {2}, {}, 406}, {{"CAL"}, {2}, {}, 407},           {{"CAS"}, {1}, {}, 408},
    {{"CCT"}, {1}, {}, 409},        {{"CRP"}, {1}, {}, 410},           {{"CCU"}, {2}, {}, 411},
    {{"CCD"}, {2}, {}, 412},        {{"CSH"}, {2}, {}, 413},           {{"POSA"}, {1}, {}, 414},
    {{"INFO"}, {2}, {}, 501},       {{"FBEN"}, {7, 8}, {10, 11}, 502}, {{"FBXT"}, {0}, {}, 503},
    {{"FBCS"}, {6}, {}, 504},       {{"FBFE"}, {3}, {}, 505},          {{"FBES"}, {0}, {}, 506},
    {{"FBST"}, {0}, {}, 507},       {{"modlist"}, {0}, {}, 508},       {{"FU"}, {2}, {}, 509},
    {{"FIV"}, {1}, {}, 510},        {{"SUD"}, {1}, {}, 511},           {{"IPR"}, {0}, {}, 512},
    {{"FBENX"}, {10, 11}, {}, 513}, {{"PGV"}, {3}, {}, 601},           {{"PGVA"}, {4}, {}, 602},
    {{"EXS"}, {2}, {3}, 603},       {{"EXR"}, {1}, {}, 604},           {{"MIS"}, {2}, {}, 605},
    {{"MAS"}, {2}, {}, 606},        {{"MIR"}, {3}, {}, 607},           {{"MAR"}, {3}, {}, 608},
    {{"MMR"}, {2}, {}, 609},        {{"SKS"}, {3}, {}, 610},           {{"SKR"}, {2}, {}, 611},
    {{"HFM"}, {3}, {}, 612},        {{"RSS"}, {1}, {}, 613},           {{"INF"}, {4}, {}, 614},
};

// One argument check of a range form.
struct Check {
    // StageOrProfile: a drive-profile name, or else checked with the stage words.
    // ProfileOrStage: a drive-profile name or a stage word, tested before the numbers.
    enum Kind { Integer, DriveFrequency, Duty, Real, Stage, Profile, StageOrProfile, ProfileOrStage } kind;
    double low = 0;
    double high = 0;
};

constexpr Check Int(long low, long high) {
    return {Check::Integer, static_cast<double>(low), static_cast<double>(high)};
}
constexpr Check kAddr = Int(1, 6);
constexpr Check kCh = Int(1, 3);
constexpr Check kTemp = Int(0, 300);
constexpr Check kDir = Int(0, 1);
constexpr Check kFlag = Int(0, 1);
constexpr Check kFreq{Check::DriveFrequency};
constexpr Check kRel = Int(1, 100);
constexpr Check kSteps = Int(0, 50000);
constexpr Check kTrqfr = Int(1, 30);
constexpr Check kStage{Check::Stage};
// The third word of OEMC names the actuator's drive: a stage word (its family's profile) or a
// drive-profile name, in both forms.
constexpr Check kStageOrProfile{Check::StageOrProfile};
constexpr Check kProfileOrStage{Check::ProfileOrStage};
constexpr Check kClear{Check::Real, 0, 1};
constexpr Check kTol{Check::Real, 0, 1};
constexpr Check kSp{Check::Real, -1, 1};
constexpr Check kDuty{Check::Duty};

struct RangeForm {
    std::initializer_list<std::string_view> commands;
    std::size_t count;
    std::initializer_list<Check> checks;
};

const RangeForm kRangeForms[] = {
    {{"STP", "STS", "SCM", "SAM", "RFS", "FBS", "FBX", "DESC", "CAS", "CCT", "CRP", "POSA", "EXR", "RSS"},
     1,
     {kAddr}},
    {{"POS", "RST", "MLS", "MSS", "CAL", "CCU", "CCD", "CSH", "MIS", "MAS", "MMR", "SKR", "INFO"},
     2,
     {kAddr, kCh}},
    {{"PGV", "MIR", "MAR", "HFM"}, 3, {kAddr, kCh, kStage}},
    {{"PGVA", "INF"}, 4, {kAddr, kStage, kStage, kStage}},
    {{"MOV"}, 7, {kAddr, kStage, kTemp, kDir, kFreq, kRel, kSteps}},
    {{"MOV"}, 8, {kAddr, kStage, kTemp, kDir, kFreq, kRel, kSteps, kTrqfr}},
    {{"EXT"}, 6, {kAddr, kStage, kTemp, kDir, kFreq, kRel}},
    {{"EXT"}, 7, {kAddr, kStage, kTemp, kDir, kFreq, kRel, kTrqfr}},
    {{"SDC"}, 2, {kAddr, Int(0, 1023)}},
    {{"FBP"}, 3, {kAddr, kStage, Int(1, 300)}},
    {{"FBP"}, 4, {kAddr, kStage, Int(1, 300), kTrqfr}},
    {{"FBM"}, 3, {kAddr, kDir, Int(0, 600)}},
    {{"SLD"}, 2, {kAddr, Int(2, 1000)}},
    {{"OEMC"}, 6, {kAddr, kCh, kStageOrProfile, kTemp, kDir, Int(1, 600)}},
    {{"OEMC"}, 8, {kAddr, kCh, kProfileOrStage, kTemp, kDir, Int(1, 600), Int(100, 400), Int(5, 120)}},
    {{"DSG", "DSH", "DSL"}, 3, {kAddr, kCh, Int(0, 255)}},
    {{"EXS"}, 2, {kAddr, kDuty}},
    {{"EXS"}, 3, {kAddr, Int(1, 30000), kDuty}},
    {{"SKS"}, 3, {kAddr, kCh, Int(0, 24)}},
    {{"FBEN"}, 7, {kStage, kClear, kStage, kClear, kStage, kClear, kTemp}},
    {{"FBEN"}, 8, {kStage, kClear, kStage, kClear, kStage, kClear, kTemp, kTrqfr}},
    {{"FBEN"}, 10, {kStage, kFlag, kClear, kStage, kFlag, kClear, kStage, kFlag, kClear, kTemp}},
    {{"FBEN"}, 11, {kStage, kFlag, kClear, kStage, kFlag, kClear, kStage, kFlag, kClear, kTemp, kTrqfr}},
    {{"FBENX"}, 10, {kStage, kTol, kClear, kStage, kTol, kClear, kStage, kTol, kClear, kTemp}},
    {{"FBENX"}, 11, {kStage, kTol, kClear, kStage, kTol, kClear, kStage, kTol, kClear, kTemp, kTrqfr}},
    {{"FBCS"}, 6, {kSp, kFlag, kSp, kFlag, kSp, kFlag}},
    {{"FBFE"}, 3, {kDir, Int(1, 20), kFlag}},
};

bool contains(std::initializer_list<std::string_view> list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}
bool contains(std::initializer_list<std::size_t> list, std::size_t n) {
    return std::find(list.begin(), list.end(), n) != list.end();
}

bool numberPasses(const Check& check, std::string_view word, int maxDriveFrequency) {
    switch (check.kind) {
        case Check::Integer: {
            const long v = ToInteger(word);
            return v >= check.low && v <= check.high;
        }
        case Check::DriveFrequency: {
            const long v = ToInteger(word);
            return v >= 1 && v <= maxDriveFrequency;
        }
        case Check::Duty: {
            const long v = ToInteger(word);
            return v == 0 || (v >= 10 && v <= 100);
        }
        case Check::Real: {
            // A NaN fails both comparisons and so the check.
            const double v = ToReal(word);
            return v >= check.low && v <= check.high;
        }
        case Check::Stage:
        case Check::Profile:
        case Check::StageOrProfile:
        case Check::ProfileOrStage:
            return true;
    }
    return true;
}

// Checks one form: the profile word first, then the numbers in order, then the stage words.
// Prints at most one message; returns 1 when the form failed.
int checkForm(TextOut& out, const RangeForm& form, const Words& words, int maxDriveFrequency) {
    std::vector<std::string_view> stages;
    std::size_t index = 2;
    for (const Check& check : form.checks) {
        const std::string_view word = words.word(index++);
        if (check.kind == Check::Profile && LookupProfile(word) <= 0) {
            PrintMessage(out, 103);
            return 1;
        }
        if (check.kind == Check::ProfileOrStage && LookupProfile(word) <= 0 && StageNameCheck(word) != 1) {
            PrintMessage(out, 103);
            return 1;
        }
        if (check.kind == Check::Stage) stages.push_back(word);
        if (check.kind == Check::StageOrProfile && LookupProfile(word) <= 0) stages.push_back(word);
    }
    index = 2;
    for (const Check& check : form.checks) {
        if (!numberPasses(check, words.word(index++), maxDriveFrequency)) {
            PrintMessage(out, 103);
            return 1;
        }
    }
    const auto result = [](std::string_view w) { return StageNameCheck(w); };
    if (std::any_of(stages.begin(), stages.end(), [&](auto w) { return result(w) == 0; })) {
        PrintMessage(out, 104);
        return 1;
    }
    if (std::any_of(stages.begin(), stages.end(), [&](auto w) { return result(w) == 2; })) {
        PrintMessage(out, 105);
        return 1;
    }
    return 0;
}

}  // namespace

bool IsKnownCommand(std::string_view word) {
    return word == "/USB" || word == "/type" || word == "/LAN" || word == "/ver" ||
           FindCommand(word) != nullptr;
}

std::uint8_t ValidateArguments(TextOut& out, const Words& words, bool developmentMode) {
    if (words.count() < 2) {
        PrintMessage(out, 1000, developmentMode);
        return 1;
    }
    int errors = 0;
    const std::string_view command = words.command();
    const std::size_t args = words.argCount();
    if (!IsKnownCommand(command)) {
        PrintMessage(out, 1000, developmentMode);
        ++errors;
    }
    for (const CountRule& rule : kCountRules) {
        if (!contains(rule.commands, command)) continue;
        const bool accepted =
            contains(rule.counts, args) || (developmentMode && contains(rule.developmentCounts, args));
        if (!accepted) {
            PrintMessage(out, rule.message, developmentMode);
            ++errors;
        }
    }
    const int maxDriveFrequency = MaxDriveFrequency(developmentMode);
    for (const RangeForm& form : kRangeForms)
        if (form.count == args && contains(form.commands, command))
            errors += checkForm(out, form, words, maxDriveFrequency);
    if (command == "/type" && args == 0) PrintMessage(out, 1001, developmentMode);
    return static_cast<std::uint8_t>(errors);
}

}  // namespace vm::cli
