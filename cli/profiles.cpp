#include "cli/profiles.h"

#include <cmath>

#include "cli/messages.h"

namespace vm::cli {

namespace {

constexpr std::array<DriveProfile, kProfileCount> kProfiles{{
    {"NONE  ", 0, 0, 0, ""},
    {"TESTP", 1, 1, 0, "P"},
    {"TESTS", 1, 1, 0, "S"},
    {"TESTEXP", 1, 1, 0, "EXP"},
    {"TESTSINE", 1, 1, 0, "SIN"},
    {"TESTDC", 1, 1, 0, "DC"},
    {"VMSOFT", 2000, 3, 0, "S"},
    {"PROFILE1", 6000, 3, 0, "S"},
    {"PROFILE2", 6000, 3, 1, "S"},
    {"PROFILE3", 5000, 9, 0, "S"},
}};

// The first kListedStages rows are the stage list printed by /type; TESTPROFILE is accepted only.
constexpr std::size_t kListedStages = 33;
constexpr StageRecord kStages[] = {
    {"ASPEN1", 1000, 0, 0, 0, 0, 0, 1},
    {"ASPEN1-ENC", 1000, 2000, 'L', 10.0, 0, 0, 1},
    {"ASPEN1B", 1001, 0, 0, 0, 0, 0, 1},
    {"ASPEN1B-ENC", 1001, 2000, 'L', 10.0, 0, 0, 1},
    {"ASPEN2", 1010, 0, 0, 0, 0, 0, 1},
    {"ASPEN2-ENC", 1010, 2010, 'L', -0.25, 0, 0, 10},
    {"ASPEN2B", 1011, 0, 0, 0, 0, 0, 1},
    {"ASPEN2B-ENC", 1011, 2010, 'L', 0.25, 0, 0, 10},
    {"BIRCH1-Q", 1000, 0, 0, 0, 0, 0, 1},
    {"BIRCH2", 1010, 0, 0, 0, 0, 0, 1},
    {"BIRCH2-Q", 1010, 0, 0, 0, 0, 0, 1},
    {"BIRCH2-ENC", 1010, 2010, 'L', 0.25, 0, 0, 1},
    {"BIRCH2-Q-ENC", 1010, 2010, 'L', 0.25, 8.0, 0, 1},
    {"BIRCH3", 1010, 0, 0, 0, 0, 0, 1},
    {"BIRCH3-Q", 1010, 0, 0, 0, 0, 0, 1},
    {"BIRCH3-ENC", 1010, 2010, 'L', 0.25, 0, 0, 1},
    {"BIRCH3-Q-ENC", 1010, 2010, 'L', 0.25, 8.0, 0, 1},
    {"CEDAR1", 1100, 0, 0, 0, 0, 0, 1},
    {"CEDAR1-POT", 1100, 2200, 'L', 1.0, 8.0, 0.3, -4000},
    {"ELM1.X", 1100, 0, 0, 0, 0, 0, 1},
    {"ELM1.Y", 1100, 0, 0, 0, 0, 0, 1},
    {"ELM1.Z", 1010, 0, 0, 0, 0, 0, 1},
    {"ELM1-POT.X", 1100, 2200, 'L', 1.0, 8.0, 0.3, -4000},
    {"ELM1-POT.Y", 1100, 2200, 'L', 1.0, 8.0, 0.3, -4000},
    {"ELM1-POT.Z", 1010, 2200, 'L', 1.0, 8.0, 0.3, 10},
    {"FIR1", 1000, 0, 0, 0, 0, 0, 1},
    {"FIR2", 1010, 0, 0, 0, 0, 0, 1},
    {"HAZEL1", 1200, 0, 0, 0, 0, 0, 1},
    {"HAZEL1-ENC", 1200, 2100, 'L', 1.0, 8.0, 0, 1},
    {"LARCH1/2", 1000, 0, 0, 0, 0, 0, 1},
    {"LARCH1", 1000, 0, 0, 0, 0, 0, 1},
    {"MAPLE1", 1300, 0, 0, 0, 0, 0, 1},
    {"MAPLE1-ENC", 1300, 2010, 'R', 1.0, 600.0, 0, 1},
    {"TESTPROFILE", 1100, 2300, 'R', 1.0, 0, 1000.0, 1},
};
static_assert(std::size(kStages) == kListedStages + 1);

constexpr double kTwoPi = 6.283185307179586;

}  // namespace

const std::array<DriveProfile, kProfileCount>& Profiles() { return kProfiles; }

int LookupProfile(std::string_view word) {
    for (int i = static_cast<int>(kProfileCount) - 1; i >= 1; --i)
        if (kProfiles[static_cast<std::size_t>(i)].name == word) return i;
    return 0;
}

std::optional<DriveProfile> ProfileOfCode(int profileCode) {
    const int row = profileCode - kProfileCodeBase;
    if (profileCode == 0 || row < 0 || row >= static_cast<int>(kProfileCount)) return std::nullopt;
    return kProfiles[static_cast<std::size_t>(row)];
}

int StageNameCheck(std::string_view word) {
    for (const StageRecord& s : kStages)
        if (s.word == word) return 1;
    if (word == "ELM1" || word == "ELM1-POT") return 2;
    return 0;
}

StageRecord LookupStage(std::string_view word) {
    for (const StageRecord& s : kStages)
        if (s.word == word) return s;
    return {};
}

int ProfileCodeOfFamily(int familyCode) {
    switch (familyCode) {
        case 1000:
        case 1010:
        case 1200:
        case 1300:
            return kProfileCodeBase + 8;  // PROFILE2
        case 1001:
        case 1011:
        case 1100:
            return kProfileCodeBase + 7;  // PROFILE1
        default:
            return 0;
    }
}

double ScaleFactor(char axisKind, int sensorCode, double sensorScale) {
    if (axisKind == 'L') {
        switch (sensorCode) {
            case 2000:
                return sensorScale * 1000 / 710;
            case 2010:
                return sensorScale * 1000 / 850;
            case 2100:
                return sensorScale * 100;
            case 2200:
                return sensorScale * 14500;
        }
    } else if (axisKind == 'R') {
        switch (sensorCode) {
            case 2000:
                return sensorScale * kTwoPi / 710 * 1000000;
            case 2010:
                return sensorScale * kTwoPi / 850 * 1000000;
            case 2300:
                return sensorScale * kTwoPi * 1000000;
        }
    }
    return 0;
}

void BuildStageDriveRecord(StageDriveRecord& target, std::string_view word) {
    const StageRecord s = LookupStage(word);
    target = StageDriveRecord{
        .scaleFactor = ScaleFactor(s.axisKind, s.sensorCode, s.sensorScale),
        .scanBase = s.scanBase,
        .loopValue = s.loopValue,
        .axisKind = s.axisKind,
        .profileCode = ProfileCodeOfFamily(s.familyCode),
        .loopInteger = s.loopInteger,
    };
}

void PrintStageList(TextOut& out) {
    for (std::size_t i = 0; i < kListedStages; ++i)
        out.print("%.*s\n", static_cast<int>(kStages[i].word.size()), kStages[i].word.data());
    out.write("\n");
}

std::uint16_t ComputeRiseTime(TextOut& out, std::uint16_t paramA, std::uint8_t paramB,
                              std::uint16_t temperature, std::uint8_t stepSize, std::uint8_t torqueFactor) {
    // The numerator is evaluated in extended precision and only then stored as a double.
    // The constants are doubles promoted to the wider type, as the FPU would load them.
    constexpr long double kPerKelvin = 0.003, kOffset = 0.14, kTwo = 2.0;
    const long double wide = static_cast<long double>(paramB) * kTwo * static_cast<long double>(stepSize) *
                             (static_cast<long double>(temperature) * kPerKelvin + kOffset);
    const double numerator = static_cast<double>(wide);
    const double denominator =
        static_cast<double>(static_cast<int>(paramA) * static_cast<int>(torqueFactor)) * 100.0;
    const double t = std::sqrt(numerator / denominator) * 1000;
    if (t > 5) return t < 65535.0 ? static_cast<std::uint16_t>(t) : std::uint16_t{65535};
    PrintMessage(out, 312);
    return 5;
}

int ApplyDirection(std::uint8_t invertDirection, int direction) {
    if (invertDirection == 1) return (~direction) & 1;
    return direction;
}

}  // namespace vm::cli
