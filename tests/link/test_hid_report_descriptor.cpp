#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "link/hid_report_descriptor.h"

namespace vm {
namespace {

struct DescriptorCase {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::optional<HidReportLengths> lengths;
};

// Vendor-defined collection with 64-byte input and output reports and no report IDs.
const std::vector<std::uint8_t> kVendor64 = {
    0x06, 0x00, 0xFF,                                      // usage page (vendor)
    0x09, 0x01,                                            // usage
    0xA1, 0x01,                                            // collection (application)
    0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // report size 8
    0x95, 0x40,                                            // report count 64
    0x81, 0x02,                                            // input
    0x09, 0x03, 0x95, 0x40,                                // report count 64
    0x91, 0x02,                                            // output
    0xC0,                                                  // end collection
};

const DescriptorCase kCases[] = {
    {"64-byte reports without IDs", kVendor64, HidReportLengths{65, 65, 0}},
    {"longest report per kind with report IDs",
     {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,        //
      0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02,  // ID 1: 8 input bytes
      0x85, 0x02, 0x95, 0x20, 0x81, 0x02,              // ID 2: 32 input bytes
      0x85, 0x01, 0x95, 0x10, 0x91, 0x02,              // ID 1: 16 output bytes
      0x95, 0x04, 0xB1, 0x02,                          // ID 1: 4 feature bytes
      0xC0},
     HidReportLengths{33, 17, 5}},
    {"fields of a report add up, bits round up",
     {0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x75, 0x01, 0x95, 0x02, 0x81, 0x01},
     HidReportLengths{2, 0, 0}},
    {"push and pop restore the global state",
     {0x75, 0x08, 0x95, 0x40, 0xA4, 0x75, 0x10, 0x95, 0x01, 0x81, 0x02, 0xB4, 0x91, 0x02},
     HidReportLengths{3, 65, 0}},
    {"long items are skipped",
     {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02},
     HidReportLengths{5, 0, 0}},
    {"no reports at all", {0x06, 0x00, 0xFF, 0xA1, 0x01, 0xC0}, HidReportLengths{0, 0, 0}},
    {"truncated short item", {0x75, 0x08, 0x95}, std::nullopt},
    {"truncated four-byte item", {0x77, 0x08, 0x00}, std::nullopt},
    {"truncated long item", {0xFE, 0x05, 0x10, 0xAA}, std::nullopt},
    {"pop without push", {0xB4}, std::nullopt},
    {"absurd report length",
     {0x77, 0xFF, 0xFF, 0x00, 0x00, 0x97, 0xFF, 0xFF, 0x00, 0x00, 0x81, 0x02},
     std::nullopt},
};

TEST(HidReportDescriptor, LengthsIncludeTheReportIdByte) {
    for (const DescriptorCase& c : kCases) {
        const auto parsed = ParseReportDescriptor(c.bytes);
        ASSERT_EQ(parsed.has_value(), c.lengths.has_value()) << c.what;
        if (parsed) {
            EXPECT_EQ(parsed->input, c.lengths->input) << c.what;
            EXPECT_EQ(parsed->output, c.lengths->output) << c.what;
            EXPECT_EQ(parsed->feature, c.lengths->feature) << c.what;
        }
    }
}

TEST(HidReportDescriptor, PushDepthIsBounded) {
    std::vector<std::uint8_t> deep(100, 0xA4);
    EXPECT_FALSE(ParseReportDescriptor(deep).has_value());
}

class SysfsTree : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vm-hid-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    void writeDescriptor(const std::string& node, const std::vector<std::uint8_t>& bytes) {
        const auto dir = root_ / "class/hidraw" / node / "device";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    std::filesystem::path root_;
};

TEST_F(SysfsTree, ReadsTheDescriptorOrFallsBackToTheDefault) {
    writeDescriptor("hidraw3", {0x75, 0x08, 0x95, 0x20, 0x81, 0x02, 0x95, 0x10, 0x91, 0x02});
    writeDescriptor("hidraw4", {0x75, 0x08, 0x95});  // truncated
    writeDescriptor("hidraw5", {});                  // empty
    struct Case {
        std::string path;
        std::uint32_t input;
        std::uint32_t output;
    };
    const Case cases[] = {
        {"/dev/hidraw3", 33, 17},
        {"/dev/hidraw4", kDefaultHidReportLength, kDefaultHidReportLength},
        {"/dev/hidraw5", kDefaultHidReportLength, kDefaultHidReportLength},
        {"/dev/hidraw9", kDefaultHidReportLength, kDefaultHidReportLength},  // no such node
        {"/dev/hidraw", kDefaultHidReportLength, kDefaultHidReportLength},
        {"/dev/hidraw3/../hidraw3", kDefaultHidReportLength, kDefaultHidReportLength},
        {"1-1:1.0", kDefaultHidReportLength, kDefaultHidReportLength},
    };
    for (const Case& c : cases) {
        const HidReportLengths lengths = ReportLengthsOfHidraw(c.path, root_.string());
        EXPECT_EQ(lengths.input, c.input) << c.path;
        EXPECT_EQ(lengths.output, c.output) << c.path;
    }
}

}  // namespace
}  // namespace vm
