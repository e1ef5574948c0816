#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gui/model/failsafe.h"
#include "tests/gui_model/model_fixture.h"

namespace vm::gui {
namespace {

using test::ScriptedModel;
using vm::test::ScriptStep;

constexpr bool kFailed = true;
constexpr bool kOk = false;

// One operation: the lines it must send with their canned replies, its result, and what the
// model holds afterwards.
struct OpCase {
    const char* what;
    std::vector<ScriptStep> script;
    std::function<bool(ScriptedModel&)> op;
    bool result;
    std::function<void(const ScriptedModel&)> check = [](const ScriptedModel&) {};
};

// The preamble runs first, so that fields an operation must leave unchanged hold known values.
void RunCases(const std::vector<OpCase>& cases, const std::vector<ScriptStep>& preamble = {},
              const std::function<void(ScriptedModel&)>& prepare = {}) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ScriptStep> script = preamble;
        script.insert(script.end(), c.script.begin(), c.script.end());
        ScriptedModel model(script);
        if (prepare) prepare(model);
        EXPECT_EQ(c.op(model), c.result);
        c.check(model);
    }
}

TEST(VMDM, ProfileTableHasTheFourDesktopRows) {
    ScriptedModel model;
    const auto& p = model.vmdm.profiles();
    ASSERT_EQ(model.vmdm.profileCount(), 4);
    const char* names[] = {"NONE", "PROFILE1", "PROFILE2", "PROFILE3"};
    const int a[] = {1, 6000, 6000, 6000}, b[] = {1, 3, 3, 9}, inv[] = {0, 0, 1, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(p[i].name, names[i]);
        EXPECT_EQ(p[i].paramA, a[i]) << names[i];
        EXPECT_EQ(p[i].paramB, b[i]) << names[i];
        EXPECT_EQ(p[i].invertDirection, inv[i]) << names[i];
    }
}

TEST(VMDM, RiseTimeMatchesTheWorkedExamples) {
    struct Case {
        const char* type;
        std::uint16_t temperature;
        std::uint8_t stepSize;
        std::uint16_t riseTime;
    };
    const Case cases[] = {
        {"PROFILE1", 293, 100, 30},  // 30.69: truncated, not rounded
        {"PROFILE1", 4, 100, 11},   {"PROFILE2", 4, 100, 11}, {"PROFILE3", 4, 100, 20},
        {"NONE", 293, 100, 1372},   {"PROFILE1", 293, 0, 5},  {"NONE", 0, 0, 5},
        {"PROFILE3", 293, 0, 5},    {"PROFILE1", 0, 1, 5},  // 0.5 clamps to 5
        {"PROFILE1", 300, 50, 21},                          // 21.9
    };
    ScriptedModel model;
    for (const auto& c : cases) {
        EXPECT_EQ(model.vmdm.RiseTime(c.type, c.temperature, c.stepSize), c.riseTime)
            << c.type << " " << c.temperature << " K " << int{c.stepSize} << " %";
    }
    EXPECT_FALSE(model.vmdm.RiseTime("PROFILE9", 293, 100).has_value());
    EXPECT_FALSE(model.vmdm.RiseTime("", 293, 100).has_value());
    // A profile outside the table that would divide by zero stays inside 16 bits.
    VMdef broken;
    broken.paramB = 3;
    EXPECT_EQ(ComputeRiseTime(broken, 293, 100), 65535);
}

TEST(VMDM, EffectiveDirectionInvertsOnlyForProfile2) {
    ScriptedModel model;
    EXPECT_EQ(model.vmdm.EffectiveDirection("PROFILE2", 1), 0);
    EXPECT_EQ(model.vmdm.EffectiveDirection("PROFILE2", 0), 1);
    EXPECT_EQ(model.vmdm.EffectiveDirection("PROFILE1", 1), 1);
    EXPECT_EQ(model.vmdm.EffectiveDirection("PROFILE3", 0), 0);
    EXPECT_EQ(model.vmdm.EffectiveDirection("NONE", 1), 1);
    EXPECT_FALSE(model.vmdm.EffectiveDirection("profile2", 1).has_value());
}

TEST(VMDM, OperationsSendTheirLinesAndJudgeTheReplies) {
    const auto status = [](const char* expected) {
        return [expected](const ScriptedModel& m) { EXPECT_EQ(m.vmdm.status(), expected); };
    };
    RunCases(
        {
            {"move, PROFILE2 turns direction 1 into 0",
             {{"MOV 2 0 300 100 5000 11 1 S\r", "_MOV\r"}},
             [](ScriptedModel& m) { return m.vmdm.Move(2, 1, "PROFILE2", 4, 1, 300, 100, 5000); },
             kOk,
             status("_MOV")},
            {"move, PROFILE1 keeps the direction, channel last",
             {{"MOV 1 1 600 50 0 21 3 S\r", "_MOV"}},
             [](ScriptedModel& m) { return m.vmdm.Move(1, 3, "PROFILE1", 300, 1, 600, 50, 0); },
             kOk,
             status("_MOV")},
            {"move refused by the module",
             {{"MOV 1 1 100 100 10 30 1 S\r", "MNF\r"}},
             [](ScriptedModel& m) { return m.vmdm.Move(1, 1, "PROFILE1", 293, 1, 100, 100, 10); },
             kFailed,
             status("_STP")},
            {"move with an unknown type sends nothing",
             {},
             [](ScriptedModel& m) { return m.vmdm.Move(1, 1, "\xff", 293, 1, 100, 100, 10); },
             kFailed,
             status("_STP")},
            {"stop stores whatever came back",
             {{"STP 3\r", "MNF\r"}},
             [](ScriptedModel& m) { return m.vmdm.Stop(3); },
             kOk,
             status("MNF")},
            {"stop whose exchange failed",
             {{"STP 3\r", "_MOV\r", 1}},
             [](ScriptedModel& m) { return m.vmdm.Stop(3); },
             kFailed,
             status("_STP")},
            {"status accepts any acknowledgement",
             {{"STS 4\r", "_MOV\r"}},
             [](ScriptedModel& m) { return m.vmdm.Status(4); },
             kOk,
             status("_MOV")},
            {"status on MNF fails and keeps the previous status",
             {{"STS 4\r", "MNF\r"}},
             [](ScriptedModel& m) { return m.vmdm.Status(4); },
             kFailed,
             status("_STP")},
            {"status after a failed exchange does not judge what the buffer still holds",
             {{"STS 4\r", "_MDC\r", 2}},
             [](ScriptedModel& m) { return m.vmdm.Status(4); },
             kFailed,
             status("_STP")},
            {"move after a failed exchange fails",
             {{"MOV 1 1 100 100 10 30 1 S\r", "_MOV\r", 1}},
             [](ScriptedModel& m) { return m.vmdm.Move(1, 1, "PROFILE1", 293, 1, 100, 100, 10); },
             kFailed,
             status("_STP")},
            {"descriptor after a failed exchange reads 3",
             {{"DESC 6\r", "_DESC 1 V3.2\r", 1}},
             [](ScriptedModel& m) { return m.vmdm.ReadDescriptor(6); },
             kFailed,
             [](const ScriptedModel& m) { EXPECT_EQ(m.vmdm.descriptor(), 3); }},
            {"amplifier measurement started",
             {{"SAM 5 2\r", "_SAM\r"}},
             [](ScriptedModel& m) { return m.vmdm.StartAmplifierMeasurement(5, 2); },
             kOk,
             status("_SAM")},
            {"amplifier measurement refused: a failure that keeps the status",
             {{"SAM 5 2\r", "CNR\r"}},
             [](ScriptedModel& m) { return m.vmdm.StartAmplifierMeasurement(5, 2); },
             kFailed,
             status("_STP")},
            {"amplifier measurement whose exchange failed",
             {{"SAM 5 2\r", "_SAM\r", 1}},
             [](ScriptedModel& m) { return m.vmdm.StartAmplifierMeasurement(5, 2); },
             kFailed,
             status("_STP")},
            {"failsafe read",
             {{"GFS 2\r", "_GFS 65\r"}},
             [](ScriptedModel& m) { return m.vmdm.ReadFailsafe(2); },
             kOk,
             [](const ScriptedModel& m) { EXPECT_EQ(m.vmdm.failsafe(), 65); }},
            {"failsafe unreadable reads 255",
             {{"GFS 2\r", "MNF\r"}},
             [](ScriptedModel& m) { return m.vmdm.ReadFailsafe(2); },
             kFailed,
             [](const ScriptedModel& m) { EXPECT_EQ(m.vmdm.failsafe(), 255); }},
            {"descriptor read",
             {{"DESC 6\r", "_DESC 1 V3.2\r"}},
             [](ScriptedModel& m) { return m.vmdm.ReadDescriptor(6); },
             kOk,
             [](const ScriptedModel& m) { EXPECT_EQ(m.vmdm.descriptor(), 1); }},
            {"descriptor unreadable reads 3",
             {{"DESC 6\r", "CNR\r"}},
             [](ScriptedModel& m) { return m.vmdm.ReadDescriptor(6); },
             kFailed,
             [](const ScriptedModel& m) { EXPECT_EQ(m.vmdm.descriptor(), 3); }},
        },
        {{"STS 9\r", "_STP\r"}, {"GFS 9\r", "_GFS 0\r"}, {"DESC 9\r", "_DESC 2\r"}}, [](ScriptedModel& m) {
            ASSERT_EQ(m.vmdm.Status(9), kOk);
            ASSERT_EQ(m.vmdm.ReadFailsafe(9), kOk);
            ASSERT_EQ(m.vmdm.ReadDescriptor(9), kOk);
        });
}

TEST(VMDM, AmplifierRowsStoreLowBytesAndRowsAbove63Read63) {
    ScriptedModel model({{"RAV 1 63\r", "_RAV 1 2 3 4 5 6 7 300\r"},
                         {"RAV 1 0\r", "_RAV 9 9 9 9 9 9 9 9\r", 1},
                         {"RAV 1 5\r", "_RAV 10 11 12 13 14 15 16 17\r"}});
    EXPECT_EQ(model.vmdm.ReadAmplifierValues(1, 70), kOk);
    EXPECT_EQ(model.vmdm.ReadAmplifierValues(1, 0), kFailed);  // exchange failed: row 0 untouched
    EXPECT_EQ(model.vmdm.ReadAmplifierValues(1, 5), kOk);
    const auto table = model.vmdm.amplifierTable();
    EXPECT_EQ(table[63], (VMDM::AmplifierRow{1, 2, 3, 4, 5, 6, 7, 44}));
    EXPECT_EQ(table[0], VMDM::AmplifierRow{});
    EXPECT_EQ(table[5], (VMDM::AmplifierRow{10, 11, 12, 13, 14, 15, 16, 17}));
}

TEST(VMDM, MeasureCapacitancePollsUntilStoppedThenReads) {
    {
        ScriptedModel model({{"SCM 2 3\r", "_SCM\r"},
                             {"STS 2\r", "_SCM\r"},
                             {"STS 2\r", "_SCM\r"},
                             {"STS 2\r", "_STP\r"},
                             {"RCV 2\r", "_RCV 480\r"}});
        EXPECT_EQ(model.vmdm.MeasureCapacitance(2, 3), kOk);
        EXPECT_EQ(model.vmdm.capacitance(), 480);
        EXPECT_EQ(model.clock.elapsedMs(), 300);
        EXPECT_EQ(model.vmdm.status(), "");  // polling does not change the status
    }
    {
        // The module never stops: 200 polls of 100 ms, then the result is read anyway.
        ScriptedModel model(std::vector<ScriptStep>{{"SCM 1 1\r", "_SCM\r"}});
        for (int i = 0; i < 200; ++i) model.link->expect("STS 1\r", "_SCM\r");
        model.link->expect("RCV 1\r", "_RCV 70000\r");
        EXPECT_EQ(model.vmdm.MeasureCapacitance(1, 1), kOk);
        EXPECT_EQ(model.vmdm.capacitance(), 70000 & 0xFFFF);
        EXPECT_EQ(model.clock.elapsedMs(), 20000);
    }
    {
        // The result read fails: the capacitance keeps its value.
        ScriptedModel model({{"SCM 1 1\r", "_SCM\r"}, {"STS 1\r", "_STP\r"}, {"RCV 1\r", "_RCV 480\r", 1}});
        EXPECT_EQ(model.vmdm.MeasureCapacitance(1, 1), kFailed);
        EXPECT_EQ(model.vmdm.capacitance(), 0);
    }
    {
        ScriptedModel model(std::vector<ScriptStep>{{"SCM 1 1\r", "", 1}});
        EXPECT_EQ(model.vmdm.MeasureCapacitance(1, 1), kFailed);
        EXPECT_EQ(model.clock.elapsedMs(), 0);
    }
}

TEST(OEM, OperationsAddressTheEncoderAtSlotPlus10) {
    using Op = std::function<bool(OEM&)>;
    struct Case {
        Op op;
        const char* line;
        const char* ack;
    };
    const Case cases[] = {
        {[](OEM& o) { return o.CountUp(1, 2); }, "CCU 11 2\r", "_CCU\r"},
        {[](OEM& o) { return o.CountDown(2, 1); }, "CCD 12 1\r", "_CCD\r"},
        {[](OEM& o) { return o.HoldCounter(3, 3); }, "CSH 13 3\r", "_CSH\r"},
        {[](OEM& o) { return o.ZeroCounter(4, 1); }, "CSZ 14 1\r", "_CSZ\r"},
        {[](OEM& o) { return o.SetHigh(5, 2, 200); }, "DSH 15 2 200\r", "_DSH\r"},
        {[](OEM& o) { return o.SetLow(6, 3, 0); }, "DSL 16 3 0\r", "_DSL\r"},
        {[](OEM& o) { return o.SetGain(1, 1, 255); }, "DSG 11 1 255\r", "_DSG\r"},
        {[](OEM& o) { return o.StoreDetector(2, 1); }, "MSS 12 1\r", "_MSS\r"},
        {[](OEM& o) { return o.GetCounter(1, 1); }, "CGV 11 1\r", "_CGV 131072 0\r"},
        {[](OEM& o) { return o.ReadDetector(1, 1); }, "MLS 11 1\r", "_MLS 1 2 3\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ScriptedModel model({{c.line, c.ack}, {c.line, "MNF\r"}, {c.line, "_XYZ\r"}});
        EXPECT_EQ(c.op(model.oem), kOk);
        EXPECT_EQ(c.op(model.oem), kFailed);
        EXPECT_EQ(c.op(model.oem), kFailed);  // another command's acknowledgement
    }
}

TEST(OEM, CounterAndDetectorReadsFillTheFields) {
    ScriptedModel model({{"CGV 11 1\r", "_CGV 131072 512\r"},
                         {"CGV 12 2\r", "_CGV 131070  7\r"},
                         {"CGV 12 2\r", "MNF\r"},
                         {"CGV 12 2\r", "_CGV 140000 9\r", 1},
                         {"MLS 13 2\r", "_MLS 5 200 30\r"},
                         {"MLS 13 2\r", "CNR\r"}});
    EXPECT_EQ(model.oem.GetCounter(1, 1), kOk);
    EXPECT_EQ(model.oem.count(), 0);
    EXPECT_EQ(model.oem.analog(), 512);
    EXPECT_EQ(model.oem.GetCounter(2, 2), kOk);
    EXPECT_EQ(model.oem.count(), -2);
    EXPECT_EQ(model.oem.analog(), 7);
    EXPECT_EQ(model.oem.GetCounter(2, 2), kFailed);
    EXPECT_EQ(model.oem.count(), -2);  // unchanged
    // A failed exchange is no reply, whatever the buffer still holds.
    EXPECT_EQ(model.oem.GetCounter(2, 2), kFailed);
    EXPECT_EQ(model.oem.count(), -2);
    EXPECT_EQ(model.oem.ReadDetector(3, 2), kOk);
    EXPECT_EQ(model.oem.ReadDetector(3, 2), kFailed);
    EXPECT_EQ(model.oem.gain(), 5);
    EXPECT_EQ(model.oem.high(), 200);
    EXPECT_EQ(model.oem.low(), 30);
}

TEST(PCI, ModuleMapFixesUpTheEncoderEntries) {
    struct Case {
        const char* gom;
        ModuleMap encoders;
    };
    const Case cases[] = {
        {"_GOM 0 0 13 0 0 0\r", {11, 12, 13, 0, 0, 0}},   {"_GOM 0 12 0 0 0 0\r", {11, 12, 0, 0, 0, 0}},
        {"_GOM 0 0 0 14 15 16\r", {0, 0, 0, 14, 15, 16}}, {"_GOM 11 0 13 0 0 0\r", {11, 12, 13, 0, 0, 0}},
        {"_GOM 267 0 0 0 0 0\r", {11, 0, 0, 0, 0, 0}},  // low 8 bits
    };
    for (const auto& c : cases) {
        ScriptedModel model({{"GCM \r", "_GCM 1 2 0 4 0 0\r"}, {"GOM \r", c.gom}});
        EXPECT_EQ(model.pci.ReadModuleMap(), kOk) << c.gom;
        EXPECT_EQ(model.pci.encoderModules(), c.encoders) << c.gom;
        EXPECT_EQ(model.pci.driveModules(), (ModuleMap{1, 2, 0, 4, 0, 0}));
    }
}

TEST(PCI, ModuleQueriesUseTheMaps) {
    ScriptedModel model({{"GCM \r", "_GCM 1 0 3 0 0 0\r"}, {"GOM \r", "_GOM 0 0 0 14 0 0\r"}});
    model.pci.ReadModuleMap();
    EXPECT_TRUE(model.pci.HasDriveModule(1));
    EXPECT_TRUE(model.pci.HasDriveModule(3));
    EXPECT_FALSE(model.pci.HasDriveModule(2));
    EXPECT_TRUE(model.pci.HasEncoderModule(4));  // answers at 14
    EXPECT_FALSE(model.pci.HasEncoderModule(3));
    EXPECT_FALSE(model.pci.HasEncoderModule(14));
}

TEST(PCI, ModuleMapIsNotJudgedAndNeverReadsAnEarlierReply) {
    // The previous reply leaves numbers in the parser; entries a reply lacks still read 0.
    const std::vector<ScriptStep> earlier{{"CLS 1\r", "_CLS 1 2 3 4 5 6 A B 0\r"}};
    struct Case {
        std::vector<ScriptStep> steps;
        bool result;
        ModuleMap drives;
        ModuleMap encoders;
    };
    const Case cases[] = {
        {{{"GCM \r", "CNR\r"}, {"GOM \r", "MNF\r"}}, kOk, {}, {}},
        {{{"GCM \r", "_XYZ 1 2 3 4 5 6\r"}, {"GOM \r", "_GOM 0 0 13\r"}},
         kOk,
         {1, 2, 3, 4, 5, 6},
         {11, 12, 13, 0, 0, 0}},
        {{{"GCM \r", "_GCM 1 2 3 4 5 6\r", 1}, {"GOM \r", "_GOM 11\r"}}, kFailed, {}, {11, 0, 0, 0, 0, 0}},
        {{{"GCM \r", "_GCM 1\r"}, {"GOM \r", "_GOM 11 12 13 14 15 16\r", 2}},
         kFailed,
         {1, 0, 0, 0, 0, 0},
         {}},
    };
    for (const auto& c : cases) {
        std::vector<ScriptStep> script = earlier;
        script.insert(script.end(), c.steps.begin(), c.steps.end());
        ScriptedModel model(script);
        model.pci.LoadChannel(1, 1);
        EXPECT_EQ(model.pci.ReadModuleMap(), c.result) << c.steps[0].reply;
        EXPECT_EQ(model.pci.driveModules(), c.drives) << c.steps[0].reply;
        EXPECT_EQ(model.pci.encoderModules(), c.encoders) << c.steps[1].reply;
    }
}

TEST(PCI, SlotScanReadsTheKindLettersAfterTheConfiguration) {
    using K = SlotKind;
    struct Case {
        const char* reply;
        int result;
        char configuration;
        SlotKinds kinds;
    };
    const Case cases[] = {
        {"_SCN A0COCOR-\r", kOk, 'A', {K::Drive, K::Encoder, K::Drive, K::Encoder, K::Sensor, K::Empty}},
        {"_SCN B0CR\r",
         kOk,
         'B',
         {K::Drive, K::Sensor, K::Empty, K::Empty, K::Empty, K::Empty}},  // short word
        {"_SCN\r", kOk, '\0', {}},
        {"MNF\r", kFailed, 'Z', {K::Sensor}},  // fields kept from the preamble
        {"CNR A0CCCCCC\r", kFailed, 'Z', {K::Sensor}},
    };
    for (const auto& c : cases) {
        ScriptedModel model({{"SCN\r", "_SCN Z0R\r"}, {"SCN\r", c.reply}});
        model.pci.ScanSlots();
        EXPECT_EQ(model.pci.ScanSlots(), c.result) << c.reply;
        EXPECT_EQ(model.pci.configuration(), c.configuration) << c.reply;
        EXPECT_EQ(model.pci.slotKinds(), c.kinds) << c.reply;
    }
    ScriptedModel failing({{"SCN\r", "_SCN A0CCCCCC\r", 1}});
    EXPECT_EQ(failing.pci.ScanSlots(), kFailed);  // a failed exchange counts as an empty reply
}

TEST(PCI, UserMemoryOperations) {
    ChannelRecord stored;
    stored.frequency = 300;
    stored.stepSize = 50;
    stored.temperature = 293;
    stored.paramB = 3;
    stored.paramA = 6000;
    stored.invertFlag = 1;
    stored.type.assign("PROFILE2");
    stored.tag.assign("stageX");
    const auto expectRecord = [](const ChannelRecord& r, const ChannelRecord& e) {
        EXPECT_EQ(r.frequency, e.frequency);
        EXPECT_EQ(r.stepSize, e.stepSize);
        EXPECT_EQ(r.temperature, e.temperature);
        EXPECT_EQ(r.paramB, e.paramB);
        EXPECT_EQ(r.paramA, e.paramA);
        EXPECT_EQ(r.invertFlag, e.invertFlag);
        EXPECT_EQ(r.type.view(), e.type.view());
        EXPECT_EQ(r.tag.view(), e.tag.view());
    };
    RunCases({
        {"load module 2 channel 3 reads index 6",
         {{"CLS 6\r", "_CLS 6 300 50 293 3 6000 PROFILE2 stageX 1\r"}},
         [](ScriptedModel& m) { return m.pci.LoadChannel(2, 3); },
         kOk,
         [&](const ScriptedModel& m) { expectRecord(m.pci.channelRecord(), stored); }},
        {"load module 6 channel 3 reads index 18",
         {{"CLS 18\r", "MNF\r"}},
         [](ScriptedModel& m) { return m.pci.LoadChannel(6, 3); },
         kFailed,
         [](const ScriptedModel& m) { EXPECT_EQ(m.pci.channelRecord().frequency, 0); }},
        {"load outside the 18 channels sends nothing",
         {},
         [](ScriptedModel& m) {
             return m.pci.LoadChannel(0, 1) == kFailed && m.pci.LoadChannel(7, 1) == kFailed;
         },
         true},
        {"store sends the record",
         {{"CSS 5 300 50 293 3 6000 PROFILE2 stageX 1\r", "_CSS\r"}},
         [&](ScriptedModel& m) {
             m.pci.setChannelRecord(stored);
             return m.pci.StoreChannel(5);
         },
         kOk},
        {"store refused by the controller",
         {{"CSS 1 0 0 0 0 0   0\r", "CNR\r"}},
         [](ScriptedModel& m) { return m.pci.StoreChannel(1); },
         kFailed},
        {"store of a tag that would end the line sends nothing",
         {},
         [&](ScriptedModel& m) {
             ChannelRecord r = stored;
             r.tag.assign("a\rSTF");
             m.pci.setChannelRecord(r);
             return m.pci.StoreChannel(1);
         },
         kFailed},
        {"commit", {{"STF\r", "_STF\r"}}, [](ScriptedModel& m) { return m.pci.CommitChannels(); }, kOk},
        {"commit refused",
         {{"STF\r", "_CSS\r"}},
         [](ScriptedModel& m) { return m.pci.CommitChannels(); },
         kFailed},
    });
}

TEST(PCI, NetworkReadHasTheInvertedSense) {
    const NetworkSettings read{2, 192, 168, 1, 20, 255, 255, 255, 0, 192, 168, 1, 1};
    ScriptedModel model({{"IPR\r", "_IPR 2 192 168 1 20 255 255 255 0 192 168 1 1\r"},
                         {"IPR\r", "MNF\r"},
                         {"IPS 255 10 0 0 5 255 0 0 0 10 0 0 1\r", "CNR\r"}});
    EXPECT_TRUE(model.pci.ReadNetwork());
    EXPECT_EQ(model.pci.networkSettings(), read);
    EXPECT_FALSE(model.pci.ReadNetwork());
    EXPECT_EQ(model.pci.networkSettings(), read);
    model.pci.setNetworkSettings({255, 10, 0, 0, 5, 255, 0, 0, 0, 10, 0, 0, 1});
    EXPECT_EQ(model.pci.WriteNetwork(), kOk);  // the reply is not judged
}

TEST(PCI, NetworkExchangeFailures) {
    ScriptedModel model({{"IPR\r", "_IPR 2 10 0 0 5\r"},
                         {"IPR\r", "_IPR 2 192 168 1 20 255 255 255 0 192 168 1 1\r", 1},
                         {"IPS 2 10 0 0 5 0 0 0 0 0 0 0 0\r", "_IPS\r", 1}});
    EXPECT_TRUE(model.pci.ReadNetwork());
    EXPECT_EQ(model.pci.networkSettings(), (NetworkSettings{2, 10, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(model.pci.ReadNetwork());  // the exchange failed: nothing was read
    EXPECT_EQ(model.pci.networkSettings(), (NetworkSettings{2, 10, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(model.pci.WriteNetwork(), kFailed);
}

TEST(CurrentLink, WithoutALinkNothingIsSentAndEveryOperationFails) {
    VirtualClock clock;
    CurrentLink current(clock);
    VMDM vmdm(current);
    OEM oem(current);
    PCI pci(current);
    EXPECT_FALSE(current.hasLink());
    EXPECT_EQ(vmdm.Move(1, 1, "PROFILE1", 293, 1, 100, 100, 10), kFailed);
    EXPECT_EQ(vmdm.Stop(1), kFailed);
    EXPECT_EQ(vmdm.Status(1), kFailed);
    EXPECT_EQ(vmdm.MeasureCapacitance(1, 1), kFailed);
    EXPECT_EQ(vmdm.ReadFailsafe(1), kFailed);
    EXPECT_EQ(vmdm.failsafe(), 255);
    EXPECT_EQ(vmdm.ReadDescriptor(1), kFailed);
    EXPECT_EQ(vmdm.descriptor(), 3);
    EXPECT_EQ(oem.GetCounter(1, 1), kFailed);
    EXPECT_EQ(oem.CountUp(1, 1), kFailed);
    EXPECT_EQ(pci.ReadModuleMap(), kFailed);
    EXPECT_EQ(pci.driveModules(), ModuleMap{});  // maps cleared: a scan finds nothing
    EXPECT_FALSE(pci.HasDriveModule(1));
    EXPECT_EQ(pci.LoadChannel(1, 1), kFailed);
    EXPECT_FALSE(pci.ReadNetwork());
    EXPECT_EQ(pci.WriteNetwork(), kFailed);
    EXPECT_EQ(clock.elapsedMs(), 0);
}

TEST(Failsafe, LinesOfEverySetBitInReportOrder) {
    struct Case {
        std::uint8_t bits;
        std::vector<std::string_view> firstLines;  // the first line of each set bit's block
        std::size_t count;
    };
    const Case cases[] = {
        {0, {}, 0},
        {255, {}, 0},  // could not be read
        {128, {}, 0},  // no text
        {4, {"      >WARNING: thermal overload on amplifier stage"}, 2},
        {0x41,
         {"      >FAILURE: internal *HIGH* voltage rail missing",
          "      >FAILURE: overcurrent#1 DETECTED on HIGH RAIL:"},
         6},
        {0x18,
         {"      >FAILURE: overcurrent#1 DETECTED on LOW RAIL:",
          "      >FAILURE: overcurrent#2 DETECTED on LOW RAIL: "},
         8},
    };
    for (const auto& c : cases) {
        const auto lines = FailsafeLines(c.bits);
        EXPECT_EQ(lines.size(), c.count) << int(c.bits);
        std::vector<std::string_view> firsts;
        for (auto line : lines)
            if (line.starts_with("      >")) firsts.push_back(line);
        EXPECT_EQ(firsts, c.firstLines) << int(c.bits);
    }
}

TEST(CurrentLink, RawLinesAreSentAsWrittenAndUnsafeLinesNever) {
    struct Case {
        std::string line;
        std::vector<ScriptStep> script;
        bool failed;
        std::string text;
    };
    const Case cases[] = {
        {"STS 1", {{"STS 1\r", "_STP\r"}}, false, "_STP"},
        {"FIV 12", {{"FIV 12\r", "_FIV 1.12\r\n"}}, false, "_FIV 1.12"},
        {"XYZ", {{"XYZ\r", "CNR"}}, false, "CNR"},  // a refusal is a reply, not a failure
        {"STS 1", {{"STS 1\r", "_STP\r", 1}}, true, ""},
        {"", {{"\r", "CNR\r"}}, false, "CNR"},
        {"STS 1\rSTP 1", {}, true, ""},
        {"STS 1\n", {}, true, ""},
        {std::string("STS 1\0 2", 8), {}, true, ""},
        {std::string(CurrentLink::kMaxLineLength + 1, 'A'), {}, true, ""},
        {std::string(CurrentLink::kMaxLineLength, 'A'),
         {{std::string(CurrentLink::kMaxLineLength, 'A') + "\r", "CNR\r"}},
         false,
         "CNR"},
    };
    for (const auto& c : cases) {
        ScriptedModel model(c.script);
        const LineReply reply = model.current.exchangeLine(c.line);
        EXPECT_EQ(reply.failed, c.failed) << c.line;
        EXPECT_EQ(reply.text, c.text) << c.line;
    }
    VirtualClock clock;
    CurrentLink none(clock);
    EXPECT_TRUE(none.exchangeLine("STS 1").failed);
}

TEST(CurrentLink, ReplaceClosesTheOldLinkAndUsesTheNewOne) {
    VirtualClock clock;
    StringTextOut out;
    LinkContext context{LinkSettings::desktop(), clock, out};
    CurrentLink current(clock);
    VMDM vmdm(current);
    auto first = std::make_unique<vm::test::ScriptedLink>(
        std::initializer_list<ScriptStep>{{"STS 1\r", "_STP\r"}}, context);
    auto* firstRaw = first.get();
    current.replace(std::move(first));
    EXPECT_EQ(vmdm.Status(1), kOk);
    EXPECT_EQ(firstRaw->closeCount(), 0);
    auto second = std::make_unique<vm::test::ScriptedLink>(
        std::initializer_list<ScriptStep>{{"STS 1\r", "_MOV\r"}}, context);
    auto* secondRaw = second.get();
    current.replace(std::move(second));  // the first link is closed and destroyed here
    EXPECT_EQ(vmdm.Status(1), kOk);
    EXPECT_EQ(vmdm.status(), "_MOV");
    EXPECT_EQ(current.access([](COM_METHOD* l) { return l; }), secondRaw);
    EXPECT_EQ(current.parser().token(0), "_MOV");
}

}  // namespace
}  // namespace vm::gui
