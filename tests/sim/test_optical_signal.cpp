// The virtual controller's optical signal model: which gains detect which signals, how signals
// are chosen per channel (rack file, vmsim option), and where the encoder calibration's drive
// lines go.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "link/clock.h"
#include "sim/controller.h"
#include "sim/model.h"
#include "sim/optical_signal.h"
#include "sim/options.h"
#include "sim/rack.h"

namespace {

using vm::sim::ParseChannelSignal;
using vm::sim::ParseOpticalSignal;

// Detection at the three search gains (1x, 10x, 40x) and at the gain the calibration then sets.
struct DetectCase {
    std::string signal;
    bool at0, at25, at100;
    int newGain;
    bool atNewGain;
};

const DetectCase kDetectCases[] = {
    {"good", true, true, true, 35, true},       // counts from the first stage on
    {"weak10", false, true, true, 255, true},   // needs the second stage
    {"noisy10", false, true, true, 69, true},   // needs the second stage
    {"weak40", false, false, true, 202, true},  // needs the third stage
    {"faint", false, true, true, 255, true},    // needs the second stage
    {"dark", false, false, false, 255, false},  // no stage is enough
    {"bright", true, false, false, 35, false},  // more gain saturates both levels
    {"offset", true, true, true, 35, true},     // counts from the first stage on
};

TEST(OpticalSignal, EachNamedSignalIsDetectedFromItsGainStageOn) {
    ASSERT_EQ(vm::sim::NamedSignals().size(), std::size(kDetectCases));
    for (const DetectCase& c : kDetectCases) {
        const auto signal = ParseOpticalSignal(c.signal);
        ASSERT_TRUE(signal) << c.signal;
        EXPECT_EQ(vm::sim::Detects(*signal, 0), c.at0) << c.signal;
        EXPECT_EQ(vm::sim::Detects(*signal, 25), c.at25) << c.signal;
        EXPECT_EQ(vm::sim::Detects(*signal, 100), c.at100) << c.signal;
        EXPECT_EQ(vm::sim::Detects(*signal, c.newGain), c.atNewGain) << c.signal;
    }
    // The default channel counts at the default gain too.
    EXPECT_TRUE(vm::sim::Detects(vm::sim::OpticalSignal{}, 128));
    // A higher gain needs a larger swing.
    EXPECT_LT(vm::sim::DetectableSwing(0), vm::sim::DetectableSwing(25));
    EXPECT_LT(vm::sim::DetectableSwing(25), vm::sim::DetectableSwing(100));
}

struct ParseCase {
    std::string text;
    bool ok;
    int slot = 0, channel = 0;
    double high = 0, low = 0;
};

const ParseCase kParseCases[] = {
    {"2.1=weak40", true, 2, 1, 3.02, 0.52},
    {"4.3=3/0.5", true, 4, 3, 3, 0.5},
    {"6.2=255/0", true, 6, 2, 255, 0},
    {"7.1=good", false},
    {"0.1=good", false},
    {"2.4=good", false},
    {"2.1=", false},
    {"2.1=loud", false},
    {"2.1=256/0", false},
    {"2.1=-1/0", false},
    {"2.1=nan/0", false},
    {"2.1=3/", false},
    {"2.1=3/0.5/1", false},
    {"21=good", false},
    {"2.1good", false},
    {"", false},
};

TEST(OpticalSignal, ChannelSignalsParseOrAreRefused) {
    for (const ParseCase& c : kParseCases) {
        const auto parsed = ParseChannelSignal(c.text);
        ASSERT_EQ(parsed.has_value(), c.ok) << c.text;
        if (!parsed) continue;
        EXPECT_EQ(parsed->slot, c.slot) << c.text;
        EXPECT_EQ(parsed->channel, c.channel) << c.text;
        EXPECT_DOUBLE_EQ(parsed->signal.high, c.high) << c.text;
        EXPECT_DOUBLE_EQ(parsed->signal.low, c.low) << c.text;
    }
}

vm::sim::EncoderChannel Channel(vm::sim::Controller& controller, int slot, int channel) {
    return controller.inspect(
        [&](vm::sim::Model& m) { return m.slots[slot - 1].encoder.channel[channel - 1]; });
}

TEST(OpticalSignal, TheOptionAndTheRackFileChooseSignalsPerChannel) {
    std::string error;
    const auto options = vm::sim::ParseSimOptions({"--signal", "4.2=dark", "--rack", "C,O,C,O,R,-"}, &error);
    ASSERT_TRUE(options) << error;
    vm::VirtualClock clock;
    vm::sim::Controller controller(clock, options->rack);
    EXPECT_DOUBLE_EQ(Channel(controller, 4, 2).signalHigh, 0.5);
    EXPECT_DOUBLE_EQ(Channel(controller, 4, 1).signalHigh, 100);
    EXPECT_FALSE(vm::sim::ParseSimOptions({"--signal", "4.2=loud"}, &error));
    EXPECT_NE(error.find("bad signal"), std::string::npos);

    const std::string path = testing::TempDir() + "rack_signal.conf";
    {
        std::ofstream out(path);
        out << "rack = C,O,C,O,R,-\nsignal = 2.3   weak10\nsignal = 1.1 dark  # a drive slot: ignored\n";
    }
    const auto rack = vm::sim::LoadRackFile(path, &error);
    ASSERT_TRUE(rack) << error;
    vm::sim::Controller fromFile(clock, *rack);
    EXPECT_DOUBLE_EQ(Channel(fromFile, 2, 3).signalHigh, 12);
    EXPECT_DOUBLE_EQ(Channel(fromFile, 2, 3).signalLow, 0.3);
    {
        std::ofstream out(path);
        out << "signal = 2.3\n";
    }
    EXPECT_FALSE(vm::sim::LoadRackFile(path, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    std::remove(path.c_str());
}

TEST(OpticalSignal, CalibrationPulsesNeedADetectableSignalAtTheGainOfTheStart) {
    vm::VirtualClock clock;
    vm::sim::Controller controller(clock, vm::sim::RackConfig::Default());
    controller.inspect([](vm::sim::Model& m) {
        m.slots[1].encoder.channel[0].signalHigh = 3.02;
        m.slots[1].encoder.channel[0].signalLow = 0.52;
        return 0;
    });
    for (const auto& [gain, pulses] : {std::pair{"25", "_CCT 0 0\r"}, std::pair{"100", "_CCT 100 100\r"}}) {
        EXPECT_EQ(controller.Process(std::string("DSG 11 1 ") + gain + "\r"), "_DSG\r");
        EXPECT_EQ(controller.Process("CAL 11 1\r"), "_CAL\r");
        EXPECT_EQ(controller.Process("MOV 2 1 100 100 100 12 1 S OEMC\r"), "_MOV\r");
        clock.advanceMs(2000);
        EXPECT_EQ(controller.Process("CCT 11\r"), pulses) << gain;
        EXPECT_EQ(controller.Process("CAS 11\r"), "_CAS\r");
    }
}

// Calibration lines name the encoder module; the drive module it serves sits in the slot before.
TEST(OpticalSignal, CalibrationDriveLinesReachTheServedDriveModule) {
    vm::VirtualClock clock;
    vm::sim::Controller controller(clock, vm::sim::RackConfig::Default());  // C,O,C,O,R,-
    const std::vector<std::pair<std::string, std::string>> exchanges = {
        {"STS 2 1 OEMC\r", "_STP\r"},
        {"MOV 2 1 100 100 0 12 3 S OEMC\r", "_MOV\r"},
        {"STS 1\r", "_MOV\r"},
        {"STS 2 3 OEMC\r", "_MOV\r"},
        {"STS 2 1 OEMC\r", "_STP\r"},
        {"STP 2 3 OEMC\r", "_STP\r"},
        {"STS 1\r", "_STP\r"},
        {"STS 4 1 OEMC\r", "_STP\r"},  // serves slot 3
        {"STS 1 1 OEMC\r", "MNF\r"},   // a drive module, not an encoder module
        {"STS 5 1 OEMC\r", "MNF\r"},   // a sensor module
        {"STS 6 1 OEMC\r", "MNF\r"},   // empty
        {"MOV 7 1 100 100 0 12 1 S OEMC\r", "MNF\r"},
        {"STP 2 1\r", "MNF\r"},  // without the suffix the slot itself is meant
    };
    for (const auto& [line, reply] : exchanges) EXPECT_EQ(controller.Process(line), reply) << line;
}

}  // namespace
