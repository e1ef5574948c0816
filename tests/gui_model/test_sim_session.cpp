#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim/model.h"
#include "tests/gui_model/sim_fixture.h"

namespace vm::gui {
namespace {

using test::SimModel;

constexpr bool kOk = false;

// What a module scan finds for one channel row.
struct ScannedRow {
    int module;
    int channel;
    bool visible;
    ChannelRecord record;
    bool counterRead;
    std::int32_t count;
};

// The module scan of the main window, without the window: map, then per drive module status,
// descriptor, and per channel its user-memory record and counter.
std::vector<ScannedRow> Scan(SimModel& s) {
    std::vector<ScannedRow> rows;
    s.pci.ReadModuleMap();
    for (std::uint8_t k = 1; k <= 6; ++k) {
        if (!s.pci.HasDriveModule(k)) continue;
        if (s.vmdm.Status(k) != kOk) continue;
        s.vmdm.ReadDescriptor(k);
        const int descriptor = s.vmdm.descriptor();
        for (std::uint8_t m = 1; m <= 3; ++m) {
            s.pci.LoadChannel(k, m);
            const bool counterRead = s.oem.GetCounter(k, m) == kOk;
            rows.push_back(
                {k, m, descriptor == 3 || m == 1, s.pci.channelRecord(), counterRead, s.oem.count()});
        }
    }
    return rows;
}

TEST(SimSession, ModuleScanFindsTheRack) {
    // Drive modules in slots 1 and 3 (one channel), their encoders in 2 and 4, a sensor module in 5.
    auto rack = sim::ParseRack("C,O,C1,O,R,-");
    ASSERT_TRUE(rack);
    SimModel s(*rack);
    const auto rows = Scan(s);
    EXPECT_EQ(s.pci.driveModules(), (ModuleMap{1, 0, 3, 0, 0, 0}));
    // "GOM" reports 11 and 13; the fix-up turns the first two entries into 11 and 12.
    EXPECT_EQ(s.pci.encoderModules(), (ModuleMap{11, 12, 13, 0, 0, 0}));
    EXPECT_TRUE(s.pci.HasEncoderModule(1));
    EXPECT_TRUE(s.pci.HasEncoderModule(3));
    EXPECT_FALSE(s.pci.HasEncoderModule(4));
    ASSERT_EQ(rows.size(), 6u);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.module) + "/" + std::to_string(row.channel));
        EXPECT_EQ(row.visible, row.module == 1 || row.channel == 1);
        EXPECT_TRUE(row.counterRead);
        EXPECT_EQ(row.count, 0);
        EXPECT_EQ(row.record.type, "PROFILE1");
        EXPECT_EQ(row.record.paramA, 6000);
        EXPECT_EQ(row.record.temperature, 293);
    }
    // The scan sent exactly the lines of the desktop program, in order.
    const std::vector<std::string> expectedStart{"GCM \r",  "GOM \r",     "STS 1\r", "DESC 1\r",
                                                 "CLS 1\r", "CGV 11 1\r", "CLS 2\r", "CGV 11 2\r"};
    const auto lines = s.controller.lines();
    ASSERT_GE(lines.size(), expectedStart.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expectedStart.size()), expectedStart);
}

TEST(SimSession, ScanSkipsAModuleThatDoesNotAnswer) {
    auto rack = sim::ParseRack("-,-,-,-,-,-");
    ASSERT_TRUE(rack);
    SimModel s(*rack);
    EXPECT_TRUE(Scan(s).empty());
    EXPECT_EQ(s.pci.driveModules(), ModuleMap{});
}

TEST(SimSession, UserMemoryStoreReadsBack) {
    SimModel s;
    ChannelRecord r;
    r.frequency = 450;
    r.stepSize = 80;
    r.temperature = 4;
    r.paramB = 3;
    r.paramA = 6000;
    r.invertFlag = 1;
    r.type.assign("PROFILE2");
    r.tag.assign("xStage");
    s.pci.setChannelRecord(r);
    EXPECT_EQ(s.pci.StoreChannel(5), kOk);  // module 2, channel 2
    EXPECT_EQ(s.pci.CommitChannels(), kOk);

    s.pci.setChannelRecord(ChannelRecord{});
    EXPECT_EQ(s.pci.LoadChannel(2, 2), kOk);
    const ChannelRecord back = s.pci.channelRecord();
    EXPECT_EQ(back.frequency, 450);
    EXPECT_EQ(back.stepSize, 80);
    EXPECT_EQ(back.temperature, 4);
    EXPECT_EQ(back.paramB, 3);
    EXPECT_EQ(back.paramA, 6000);
    EXPECT_EQ(back.invertFlag, 1);
    EXPECT_EQ(back.type, "PROFILE2");
    EXPECT_EQ(back.tag, "xStage");
    // The commit reached the controller's flash copy.
    EXPECT_EQ(s.controller.inspect([](sim::Model& m) { return m.front.flash[4].tag; }), "xStage");
    // Other channels keep their defaults.
    EXPECT_EQ(s.pci.LoadChannel(2, 1), kOk);
    EXPECT_EQ(s.pci.channelRecord().type, "PROFILE1");
}

TEST(SimSession, ClearAndNetworkSettings) {
    SimModel s;
    ChannelRecord r;
    r.type.assign("PROFILE3");
    r.tag.assign("old");
    s.pci.setChannelRecord(r);
    ASSERT_EQ(s.pci.StoreChannel(2), kOk);
    // The main window's clear: type and tag of one byte 0xFF, stored at index 1.
    r.type.assign("\xff");
    r.tag.assign("\xff");
    s.pci.setChannelRecord(r);
    EXPECT_EQ(s.pci.StoreChannel(1), kOk);
    EXPECT_EQ(s.pci.CommitChannels(), kOk);
    ASSERT_EQ(s.pci.LoadChannel(1, 2), kOk);
    EXPECT_EQ(s.pci.channelRecord().tag, "-");  // back to the controller's defaults

    ASSERT_TRUE(s.pci.ReadNetwork());
    NetworkSettings n = s.pci.networkSettings();
    EXPECT_EQ(n[1], 192);
    n = {2, 10, 1, 2, 3, 255, 255, 0, 0, 10, 1, 2, 254};
    s.pci.setNetworkSettings(n);
    EXPECT_EQ(s.pci.WriteNetwork(), kOk);
    s.pci.setNetworkSettings({});
    ASSERT_TRUE(s.pci.ReadNetwork());
    EXPECT_EQ(s.pci.networkSettings(), n);
}

TEST(SimSession, MoveAdvancesTheCounter) {
    SimModel s;
    s.pci.ReadModuleMap();
    ASSERT_TRUE(s.pci.HasEncoderModule(1));
    // Clockwise: the counter counts up, then 50 steps at 100 Hz.
    ASSERT_EQ(s.oem.CountUp(1, 1), kOk);
    ASSERT_EQ(s.vmdm.Move(1, 1, "PROFILE1", 293, 1, 100, 100, 50), kOk);
    EXPECT_EQ(s.vmdm.status(), "_MOV");
    // Follow the move as the position monitor does: counter and status every 100 ms.
    int polls = 0;
    do {
        s.clock.sleepMs(100);
        ASSERT_EQ(s.oem.GetCounter(1, 1), kOk);
        ASSERT_EQ(s.vmdm.Status(1), kOk);
    } while (s.vmdm.status() == "_MOV" && ++polls < 100);
    EXPECT_EQ(s.vmdm.status(), "_STP");
    ASSERT_EQ(s.oem.GetCounter(1, 1), kOk);
    EXPECT_EQ(s.oem.count(), 50);
    EXPECT_EQ(s.oem.HoldCounter(1, 1), kOk);

    // PROFILE2 runs the other way on the wire; the counter follows the requested direction.
    ASSERT_EQ(s.oem.CountDown(1, 1), kOk);
    ASSERT_EQ(s.vmdm.Move(1, 1, "PROFILE2", 293, 0, 100, 100, 20), kOk);
    EXPECT_EQ(s.controller.lines().back(), "MOV 1 1 100 100 20 30 1 S\r");
    s.clock.sleepMs(1000);
    ASSERT_EQ(s.oem.GetCounter(1, 1), kOk);
    EXPECT_EQ(s.oem.count(), 30);
    // A run (0 steps) goes on until stopped.
    ASSERT_EQ(s.oem.CountUp(1, 1), kOk);
    ASSERT_EQ(s.vmdm.Move(1, 1, "PROFILE1", 293, 1, 200, 100, 0), kOk);
    s.clock.sleepMs(500);
    ASSERT_EQ(s.vmdm.Stop(1), kOk);
    EXPECT_EQ(s.vmdm.status(), "_STP");
    ASSERT_EQ(s.oem.GetCounter(1, 1), kOk);
    EXPECT_EQ(s.oem.count(), 130);
    // A move on an empty slot is refused.
    EXPECT_NE(s.vmdm.Move(2, 1, "PROFILE1", 293, 1, 100, 100, 10), kOk);
    EXPECT_NE(s.vmdm.Status(2), kOk);
}

TEST(SimSession, CounterZeroAndStatusOfEmptySlots) {
    SimModel s;
    ASSERT_EQ(s.oem.CountUp(1, 2), kOk);
    ASSERT_EQ(s.vmdm.Move(1, 2, "PROFILE3", 4, 1, 100, 100, 10), kOk);
    s.clock.sleepMs(1000);
    ASSERT_EQ(s.oem.GetCounter(1, 2), kOk);
    EXPECT_EQ(s.oem.count(), 10);
    EXPECT_EQ(s.oem.ZeroCounter(1, 2), kOk);
    ASSERT_EQ(s.oem.GetCounter(1, 2), kOk);
    EXPECT_EQ(s.oem.count(), 0);
    // No encoder module serves slot 5 (its neighbour is empty).
    EXPECT_NE(s.oem.GetCounter(5, 1), kOk);
    EXPECT_EQ(s.oem.count(), 0);
}

}  // namespace
}  // namespace vm::gui

namespace vm::gui {
namespace {

TEST(SimSession, MeasurementsAndDetectorSettings) {
    test::SimModel s;
    s.controller.inspect([](sim::Model& m) { return m.slots[0].drive.measurement.loadNf[1] = 470; });
    ASSERT_EQ(s.vmdm.MeasureCapacitance(1, 2), kOk);
    EXPECT_EQ(s.vmdm.capacitance(), 470);
    EXPECT_LT(s.clock.elapsedMs(), 200 * 100);  // the polling ended on "_STP"

    ASSERT_EQ(s.vmdm.StartAmplifierMeasurement(1, 1), kOk);
    EXPECT_EQ(s.vmdm.status(), "_SAM");
    for (int poll = 0; poll < 200 && s.vmdm.status() != "_STP"; ++poll) {
        s.vmdm.Status(1);
        s.clock.sleepMs(100);
    }
    ASSERT_EQ(s.vmdm.status(), "_STP");
    ASSERT_EQ(s.vmdm.ReadAmplifierValues(1, 70), kOk);  // row 63
    const auto row = s.vmdm.amplifierTable()[63];
    for (int k = 0; k < 8; ++k) EXPECT_EQ(row[k], sim::DriveMeasurement::AmplifierValue(504 + k) & 0xFF) << k;

    ASSERT_EQ(s.oem.SetGain(1, 1, 50), kOk);
    ASSERT_EQ(s.oem.SetHigh(1, 1, 200), kOk);
    ASSERT_EQ(s.oem.SetLow(1, 1, 20), kOk);
    ASSERT_EQ(s.oem.StoreDetector(1, 1), kOk);
    ASSERT_EQ(s.oem.ReadDetector(1, 1), kOk);
    EXPECT_EQ(s.oem.gain(), 50);
    EXPECT_EQ(s.oem.high(), 200);
    EXPECT_EQ(s.oem.low(), 20);
    EXPECT_EQ(s.vmdm.ReadFailsafe(1), kOk);
    EXPECT_EQ(s.vmdm.failsafe(), 0);
}

TEST(SimSession, TwoThreadsReadTheirOwnCounters) {
    test::SimModel s;
    s.controller.inspect([](sim::Model& m) {
        m.slots[1].encoder.channel[0].counter = 111;   // serves drive slot 1 (address 11)
        m.slots[3].encoder.channel[1].counter = -222;  // serves drive slot 3 (address 13)
        return 0;
    });
    std::atomic<int> wrong{0};
    auto reader = [&](std::uint8_t module, std::uint8_t channel, std::int32_t expected) {
        for (int i = 0; i < 500; ++i) {
            auto hold = s.current.hold();
            if (s.oem.GetCounter(module, channel) != kOk || s.oem.count() != expected) ++wrong;
        }
    };
    std::thread a(reader, 1, 1, 111);
    std::thread b(reader, 3, 2, -222);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vm::gui
