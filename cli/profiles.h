#pragma once
// Drive profiles and stage types: the profile table, the stage table, the rise-time formula,
// the direction rule, the sensor scale factors and the stage-name check.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "link/text_out.h"

namespace vm::cli {

struct DriveProfile {
    std::string_view name;
    std::uint16_t paramA;
    std::uint8_t paramB;
    std::uint8_t invertDirection;
    std::string_view waveform;  // empty for row 0
};

inline constexpr int kProfileCodeBase = 3000;
inline constexpr std::size_t kProfileCount = 10;

// The profile table, rows 0 to 9. It is constant data, so nothing has to build it at start-up or
// release it at exit.
const std::array<DriveProfile, kProfileCount>& Profiles();

// Row index of the profile with this exact name, searching rows 9 down to 1; 0 when none.
int LookupProfile(std::string_view word);
// The profile of a profile code (3000 + row); nullopt for code 0 or any code outside the table.
std::optional<DriveProfile> ProfileOfCode(int profileCode);

struct StageRecord {
    std::string_view word;
    int familyCode = 0;
    int sensorCode = 0;
    char axisKind = 0;  // 'L', 'R' or 0
    double sensorScale = 0;
    double scanBase = 0;
    double loopValue = 0;
    int loopInteger = 1;
};

struct StageDriveRecord {
    double scaleFactor = 0;
    double scanBase = 0;
    double loopValue = 0;
    char axisKind = 0;
    int profileCode = 0;
    int loopInteger = 1;
};

// 1 for a stage word, 2 for an axis-less base name (ELM1, ELM1-POT), 0 otherwise.
int StageNameCheck(std::string_view word);
// The stage record of a word; the all-zero record (loopInteger 1) for an unknown word.
StageRecord LookupStage(std::string_view word);
int ProfileCodeOfFamily(int familyCode);
double ScaleFactor(char axisKind, int sensorCode, double sensorScale);
void BuildStageDriveRecord(StageDriveRecord& target, std::string_view word);
// Prints the 33 listed stage words, one per line, then an empty line.
void PrintStageList(TextOut& out);

// Rise time in microseconds; prints the torque warning and returns 5 when the result would be 5
// or less (or not a number).
std::uint16_t ComputeRiseTime(TextOut& out, std::uint16_t paramA, std::uint8_t paramB,
                              std::uint16_t temperature, std::uint8_t stepSize, std::uint8_t torqueFactor);
// The direction to send: inverted (1 - dir for 0 or 1) when the profile inverts.
int ApplyDirection(std::uint8_t invertDirection, int direction);

}  // namespace vm::cli
