#include <gtest/gtest.h>

#include <sstream>

#include "cli/profiles.h"

namespace {

using namespace vm::cli;

struct RiseCase {
    std::string_view profile;
    int temperature, stepSize, torque;
    int expected;
    bool warns;
};

// Worked examples of the drive-parameter rules.
const RiseCase kRiseCases[] = {
    {"PROFILE1", 4, 100, 1, 12, false},   {"PROFILE2", 0, 100, 1, 11, false},
    {"PROFILE1", 300, 100, 1, 32, false}, {"PROFILE2", 4, 50, 1, 8, false},
    {"PROFILE1", 4, 100, 30, 5, true},    {"VMSOFT", 4, 100, 1, 21, false},
    {"PROFILE1", 4, 0, 1, 5, true},
};

TEST(RiseTime, MatchesTheWorkedExamplesAndClampsToFive) {
    for (const auto& c : kRiseCases) {
        const DriveProfile& p = Profiles()[static_cast<std::size_t>(LookupProfile(c.profile))];
        vm::StringTextOut out;
        EXPECT_EQ(ComputeRiseTime(out, p.paramA, p.paramB, static_cast<std::uint16_t>(c.temperature),
                                  static_cast<std::uint8_t>(c.stepSize), static_cast<std::uint8_t>(c.torque)),
                  c.expected)
            << c.profile << " T" << c.temperature << " S" << c.stepSize << " K" << c.torque;
        EXPECT_EQ(out.text(), c.warns ? "warning (3.12) : requested torque not available\n" : "");
    }
}

TEST(Profiles, LookupSearchesByExactNameAndNeverFindsRowZero) {
    const std::pair<std::string_view, int> cases[] = {
        {"PROFILE3", 9}, {"PROFILE1", 7}, {"TESTP", 1}, {"NONE  ", 0}, {"NONE", 0}, {"profile1", 0}, {"", 0},
    };
    for (const auto& [word, index] : cases) EXPECT_EQ(LookupProfile(word), index) << word;
    EXPECT_FALSE(ProfileOfCode(0));
    EXPECT_FALSE(ProfileOfCode(3010));
    EXPECT_FALSE(ProfileOfCode(2999));
    EXPECT_EQ(ProfileOfCode(3008)->name, "PROFILE2");
}

TEST(Stages, NameCheckKnowsStagesAndAxislessBases) {
    const std::pair<std::string_view, int> cases[] = {
        {"ELM1", 2},   {"ELM1-POT", 2}, {"ELM1.X", 1},   {"ELM1-POT.Z", 1}, {"TESTPROFILE", 1},
        {"ELM1.W", 0}, {"aspen1", 0},   {"LARCH1/2", 1}, {"", 0},
    };
    for (const auto& [word, result] : cases) EXPECT_EQ(StageNameCheck(word), result) << word;
}

TEST(Stages, DriveRecordsCarryProfileScaleAndLoopValues) {
    struct Case {
        std::string_view stage;
        int profileCode;
        double scale;
        char axis;
        int loopInteger;
    };
    const Case cases[] = {
        {"ASPEN1", 3008, 0, 0, 1},
        {"ASPEN1-ENC", 3008, 14.084507042253522, 'L', 1},
        {"ASPEN2-ENC", 3008, -0.29411764705882354, 'L', 10},
        {"ASPEN2B-ENC", 3007, 0.29411764705882354, 'L', 10},
        {"CEDAR1-POT", 3007, 14500, 'L', -4000},
        {"MAPLE1-ENC", 3008, 7391.982714328925, 'R', 1},
        {"HAZEL1-ENC", 3008, 100, 'L', 1},
        {"ELM1.Z", 3008, 0, 0, 1},
        {"ELM1.X", 3007, 0, 0, 1},
        {"PROFILE1", 0, 0, 0, 1},  // a profile name is not a stage: no profile
    };
    for (const auto& c : cases) {
        StageDriveRecord r;
        r.profileCode = 99;
        BuildStageDriveRecord(r, c.stage);
        EXPECT_EQ(r.profileCode, c.profileCode) << c.stage;
        EXPECT_DOUBLE_EQ(r.scaleFactor, c.scale) << c.stage;
        EXPECT_EQ(r.axisKind, c.axis) << c.stage;
        EXPECT_EQ(r.loopInteger, c.loopInteger) << c.stage;
    }
    StageDriveRecord pot;
    BuildStageDriveRecord(pot, "CEDAR1-POT");
    EXPECT_DOUBLE_EQ(pot.scanBase, 8.0);
    EXPECT_DOUBLE_EQ(pot.loopValue, 0.3);
}

TEST(Direction, OnlyInvertingProfilesTurnTheOtherWay) {
    EXPECT_EQ(ApplyDirection(1, 0), 1);
    EXPECT_EQ(ApplyDirection(1, 1), 0);
    EXPECT_EQ(ApplyDirection(0, 0), 0);
    EXPECT_EQ(ApplyDirection(0, 1), 1);
    EXPECT_EQ(Profiles()[8].invertDirection, 1);
    for (std::size_t i = 0; i < kProfileCount; ++i)
        EXPECT_EQ(Profiles()[i].invertDirection, i == 8 ? 1 : 0) << i;
}

TEST(Stages, ListPrintsThe33ListedWordsThenABlankLine) {
    vm::StringTextOut out;
    PrintStageList(out);
    std::istringstream lines(out.text());
    std::vector<std::string> words;
    for (std::string line; std::getline(lines, line);) words.push_back(line);
    ASSERT_EQ(words.size(), 34u);
    EXPECT_EQ(words.front(), "ASPEN1");
    EXPECT_EQ(words[32], "MAPLE1-ENC");
    EXPECT_EQ(words.back(), "");
    EXPECT_EQ(out.text().find("TESTPROFILE"), std::string::npos);
}

}  // namespace
