#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/hid_com.h"
#include "tests/support/fake_hid.h"

namespace vm::test {
namespace {

const LinkSettings& Cli() { return LinkSettings::commandLine(); }
const LinkSettings& Desktop() { return LinkSettings::desktop(); }

LineResponder Answer(std::string reply) {
    return [reply](std::string_view) { return reply; };
}

struct HidRig {
    explicit HidRig(const LinkSettings& settings = Cli()) : context{settings, clock, out} {}

    FakeHidDevice& addController(const std::string& serial, LineResponder responder = Answer("_STS\r")) {
        return driver->addDevice(serial, std::move(responder));
    }
    int exchange(std::string_view command) {
        link.command().assign(command);
        return link.Exchange();
    }

    VirtualClock clock;
    StringTextOut out;
    std::shared_ptr<FakeHidDriver> driver = std::make_shared<FakeHidDriver>(clock);
    std::shared_ptr<HidDeviceArray> array = std::make_shared<HidDeviceArray>(driver);
    LinkContext context;
    HID_COM link{context, array};
};

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(HidWrite, SplitsBytesIntoZeroPaddedReportsWithReportIdZero) {
    struct Case {
        std::uint32_t outputLength;
        std::size_t byteCount;
        bool ok;
        std::vector<std::size_t> pieces;
    };
    const Case cases[] = {
        {65, 14, true, {14}},  {65, 70, true, {64, 6}}, {65, 64, true, {64}}, {65, 128, true, {64, 64}},
        {9, 14, true, {8, 6}}, {2, 3, true, {1, 1, 1}}, {1, 3, false, {}},  // no room for a payload byte
        {0, 3, false, {}},     {65, 0, false, {}},
    };
    for (const Case& c : cases) {
        HidRig rig;
        FakeHidDevice& device = rig.addController("VMH0001");
        device.caps.outputReportByteLength = c.outputLength;
        ASSERT_TRUE(rig.link.OpenDefault());
        std::vector<std::uint8_t> bytes(c.byteCount);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
        EXPECT_EQ(rig.array->current->WriteBytes(bytes), c.ok) << c.outputLength << "/" << c.byteCount;
        ASSERT_EQ(device.outputReports.size(), c.pieces.size()) << c.outputLength << "/" << c.byteCount;
        std::size_t pos = 0;
        for (std::size_t r = 0; r < c.pieces.size(); ++r) {
            std::vector<std::uint8_t> expected(c.outputLength, 0);
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(pos), c.pieces[r], expected.begin() + 1);
            EXPECT_EQ(device.outputReports[r], expected)
                << c.outputLength << "/" << c.byteCount << " report " << r;
            pos += c.pieces[r];
        }
    }
}

TEST(HidWrite, CommandGoesOutWithCarriageReturnAndLineFeed) {
    HidRig rig;
    FakeHidDevice& device = rig.addController("VMH0001");
    ASSERT_TRUE(rig.link.OpenDefault());
    EXPECT_EQ(rig.exchange("MOV 1 0 300\r"), 0);  // 12 characters
    ASSERT_EQ(device.outputReports.size(), 1u);
    std::vector<std::uint8_t> expected(65, 0);
    const auto payload = Bytes("MOV 1 0 300\r\r\n");
    std::copy(payload.begin(), payload.end(), expected.begin() + 1);
    EXPECT_EQ(device.outputReports[0], expected);
    EXPECT_EQ(device.lines, std::vector<std::string>{"MOV 1 0 300\r"});
}

struct ExchangeCase {
    const char* what;
    const LinkSettings& (*settings)();
    std::string reply;
    std::uint32_t delayMs;
    bool inputFails;
    bool outputFails;
    std::string replyBuffer;
    std::int64_t elapsedMs;
};

const ExchangeCase kExchangeCases[] = {
    {"reply in one report (tool)", Cli, "_STP\r", 0, false, false, "_STP\r", 0},
    {"reply in one report (desktop)", Desktop, "_STP\r", 0, false, false, "_STP\r", 0},
    {"zero reports until the answer (tool)", Cli, "_STP\r", 300, false, false, "_STP\r", 300},
    {"zero reports until the answer (desktop)", Desktop, "_STP\r", 300, false, false, "_STP\r", 300},
    {"no answer within the second (tool)", Cli, "_STP\r", 1500, false, false, "", 1000},
    {"no answer within the second (desktop)", Desktop, "_STP\r", 1500, false, false, "", 1000},
    {"every read fails (tool)", Cli, "_STP\r", 0, true, false, "", 1000},
    // The previous reply would be judged as this command's: it is cleared.
    {"every read fails (desktop)", Desktop, "_STP\r", 0, true, false, "", 1000},
    {"failed output report is not judged", Cli, "_STP\r", 0, false, true, "", 1000},
    {"reply without carriage return", Cli, "_STP", 0, false, false, "_STP", 0},
    {"text after the carriage return is dropped", Cli, "_STP\rXY", 0, false, false, "_STP\r", 0},
};

TEST(HidExchange, ReplyTextTimingAndFailuresPerProgram) {
    for (const ExchangeCase& c : kExchangeCases) {
        HidRig rig(c.settings());
        FakeHidDevice& device = rig.addController("VMH0001", Answer(c.reply));
        device.replyDelayMs = c.delayMs;
        ASSERT_TRUE(rig.link.OpenDefault()) << c.what;
        device.inputFails = c.inputFails;
        device.outputFails = c.outputFails;
        rig.link.reply().assign("_OLD 1 2 3 4 5 6 7 8 9\r");
        EXPECT_EQ(rig.exchange("STP 1\r"), 0) << c.what;
        EXPECT_EQ(rig.link.reply().str(), c.replyBuffer) << c.what;
        EXPECT_EQ(rig.clock.elapsedMs(), c.elapsedMs) << c.what;
    }
}

TEST(HidExchange, NoDeviceOrClosedDeviceGivesItsCode) {
    for (const auto* settings : {&Cli(), &Desktop()}) {
        const bool tool = settings == &Cli();
        HidRig rig(*settings);
        FakeHidDevice& device = rig.addController("VMH0001");
        rig.link.reply().assign("stale\r");
        EXPECT_EQ(rig.exchange("STS 1\r"), 1);
        EXPECT_EQ(rig.link.reply().str(), tool ? "" : "stale\r");

        ASSERT_TRUE(rig.link.OpenDefault());
        rig.link.Close();
        EXPECT_FALSE(device.open);
        rig.link.reply().assign("stale\r");
        EXPECT_EQ(rig.exchange("STS 1\r"), 2);
        EXPECT_EQ(rig.link.reply().str(), tool ? "" : "stale\r");
        EXPECT_TRUE(device.lines.empty());
    }
}

// A 70-character reply is cut at 64; the rest waits in the character queue.
TEST(HidExchange, LongReplyIsCutAndItsRestCarriedOverPerProgram) {
    const std::string longReply = "_" + std::string(68, 'A') + "\r";
    for (const auto* settings : {&Cli(), &Desktop()}) {
        const bool tool = settings == &Cli();
        HidRig rig(*settings);
        int calls = 0;
        rig.addController("VMH0001", [&](std::string_view) { return ++calls == 1 ? longReply : "_STS 0\r"; });
        ASSERT_TRUE(rig.link.OpenDefault());
        // A cut reply has no terminator of its own: nothing of a longer old reply may remain.
        rig.link.reply().assign(std::string(100, 'Z'));
        EXPECT_EQ(rig.exchange("INF 1\r"), 0);
        EXPECT_EQ(rig.link.reply().str(), longReply.substr(0, 64));
        EXPECT_EQ(rig.exchange("STS 1\r"), 0);
        // The tool drops the rest before writing; the desktop program takes it as the reply.
        EXPECT_EQ(rig.link.reply().str(), tool ? "_STS 0\r" : "AAAAA\r") << (tool ? "tool" : "desktop");
        if (!tool) {
            EXPECT_EQ(rig.exchange("STS 1\r"), 0);
            EXPECT_EQ(rig.link.reply().str(), "_STS 0\r");
        }
    }
}

TEST(HidExchange, SimulatedControllerRepliesToEveryLine) {
    HidRig rig;
    int n = 0;
    rig.addController("VMH0001",
                      [&](std::string_view line) { return "_" + std::to_string(++n) + std::string(line); });
    ASSERT_TRUE(rig.link.OpenDefault());
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(rig.exchange("STS 1\r"), 0);
        EXPECT_EQ(rig.link.reply().str(), "_" + std::to_string(i) + "STS 1\r");
    }
}

TEST(HidReadText, DropsBytesAfterTheZeroAndJoinsReports) {
    struct Case {
        const char* what;
        std::uint32_t inputLength;
        std::vector<std::string> payloads;
        std::size_t maximum;
        std::string text;  // what the call returns, zero byte included when returned
        std::size_t queuedAfter;
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"bytes after the zero are dropped", 65, {"AB\0CD"s}, 64, "AB\0"s, 0},
        {"empty text from an all-zero report", 65, {""}, 64, "\0"s, 0},
        {"text across two reports", 9, {"ABCDEFGH", "IJ\0"s}, 64, "ABCDEFGHIJ\0"s, 0},
        {"cut text queues its continuation", 9, {"ABCDEFGH", "IJ\0"s}, 4, "ABCD", 7},
        {"cut at a report boundary reads one report ahead", 9, {"ABCDEFGH", "IJ\0"s}, 8, "ABCDEFGH", 3},
        {"no payload byte: nothing read", 1, {"AB"}, 64, "", 0},
    };
    for (const Case& c : cases) {
        HidRig rig;
        FakeHidDevice& device = rig.addController("VMH0001");
        device.caps.inputReportByteLength = c.inputLength;
        for (const auto& p : c.payloads) device.scriptedPayloads.emplace_back(p.begin(), p.end());
        ASSERT_TRUE(rig.link.OpenDefault());
        std::vector<char> buffer(c.maximum, 'x');
        const std::size_t n = rig.array->current->ReadText(buffer.data(), c.maximum);
        EXPECT_EQ(std::string(buffer.data(), n), c.text) << c.what;
        EXPECT_EQ(rig.array->current->queued(), c.queuedAfter) << c.what;
    }
}

TEST(HidOpen, ChoosesTheDeviceByProductOrSerialString) {
    struct Case {
        const char* what;
        std::string serial;  // empty: OpenDefault
        bool opened;
        int device;
    };
    const Case cases[] = {
        {"default opens the lower slot", "", true, 0},
        {"serial string of the second", "VMH0002", true, 1},
        {"one character never matches", "V", false, -1},
        {"unknown serial", "VMH0009", false, -1},
        {"a leading @ is not removed here", "@VMH0002", false, -1},
        {"a table entry (15 characters) opens the long serial", "ABCDEFGHIJKLMNO", true, 2},
        {"a shorter prefix does not", "ABCDEFGHIJKLMN", false, -1},
        {"the full long serial", "ABCDEFGHIJKLMNOPQRST", true, 2},
    };
    for (const Case& c : cases) {
        HidRig rig;
        rig.addController("VMH0001");
        rig.addController("VMH0002");
        rig.addController("ABCDEFGHIJKLMNOPQRST");
        rig.addController("V");
        const bool opened = c.serial.empty() ? rig.link.OpenDefault() : rig.link.Open(c.serial);
        EXPECT_EQ(opened, c.opened) << c.what;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(rig.driver->device(static_cast<std::size_t>(i)).open, i == c.device)
                << c.what << " device " << i;
    }
}

TEST(HidOpen, SkipsADeviceThatDoesNotOpenAndSharesTheArray) {
    HidRig rig;
    rig.addController("VMH0001").openFails = true;
    FakeHidDevice& second = rig.addController("VMH0002");
    ASSERT_TRUE(rig.link.OpenDefault());
    EXPECT_TRUE(second.open);
    EXPECT_EQ(rig.array->current, &rig.array->devices[1]);

    // A second link of the process works on the same current device.
    HID_COM other(rig.context, rig.array);
    other.command().assign("STS 1\r");
    EXPECT_EQ(other.Exchange(), 0);
    EXPECT_EQ(other.reply().str(), "_STS\r");
    other.Close();
    EXPECT_FALSE(second.open);
    EXPECT_EQ(rig.exchange("STS 1\r"), 2);
}

// Opening an open device again: a failed reopen leaves the device closed and is reported, so
// no exchange can run on a lost handle; a successful one works on the new handle.
TEST(HidOpen, ReopeningAnOpenDeviceReportsAFailedOpen) {
    for (const bool reopenFails : {false, true}) {
        SCOPED_TRACE(reopenFails ? "reopen fails" : "reopen succeeds");
        HidRig rig;
        FakeHidDevice& device = rig.addController("VMH0001");
        ASSERT_TRUE(rig.link.Open("VMH0001"));
        device.openFails = reopenFails;
        ASSERT_EQ(rig.link.Open("VMH0001"), !reopenFails);
        EXPECT_EQ(rig.array->devices[0].IsOpen(), !reopenFails);
        EXPECT_EQ(device.open, !reopenFails);
        EXPECT_EQ(rig.exchange("STS 1\r"), reopenFails ? 2 : 0);
    }
}

TEST(HidOpen, DestroyingALinkClosesOnlyWhatItOpened) {
    HidRig rig;
    FakeHidDevice& device = rig.addController("VMH0001");
    ASSERT_TRUE(rig.link.OpenDefault());
    {
        HID_COM lister(rig.context, rig.array);  // lists, never opens
        EXPECT_EQ(lister.ListDevices(), 1);
    }
    EXPECT_TRUE(device.open);
    EXPECT_EQ(rig.exchange("STS 1\r"), 0);
    {
        HID_COM owner(rig.context, rig.array);
        ASSERT_TRUE(owner.Open("VMH0001"));
    }
    EXPECT_FALSE(device.open);  // an open link is closed before it is destroyed
}

TEST(HidEnumerate, FiltersSkipsAndStrings) {
    HidRig rig;
    rig.addController("VMH0001").manufacturer.reset();  // accepted, manufacturer "N/A"
    rig.addController("VMH0002").product.reset();       // product unreadable: skipped by the filter
    rig.addController("VMH0003").queryOpenFails = true;
    rig.addController("VMH0004").capsFail = true;
    rig.addController("VMH0005").product = L"Other Device";
    rig.addController("VMH0006").serial.reset();

    USBHIDEnumProductStringFilter filter(kHidProduct);
    std::array<CUSBHIDSerialStringWriter, 10> devices;
    ASSERT_EQ(EnumerateDevices(*rig.driver, devices, 10, &filter), 2);
    EXPECT_EQ(devices[0].serial(), "VMH0001");
    EXPECT_EQ(devices[0].manufacturer(), "N/A");
    EXPECT_EQ(devices[1].serial(), "N/A");
    EXPECT_EQ(devices[1].inputReportLength(), 65u);
    EXPECT_EQ(devices[1].vendorId(), 0x1209u);

    std::array<CUSBHIDSerialStringWriter, 10> all;
    ASSERT_EQ(EnumerateDevices(*rig.driver, all, 10, nullptr), 4);
    EXPECT_EQ(all[1].product(), "N/A");
    EXPECT_EQ(all[2].product(), "Other Device");
    EXPECT_EQ(EnumerateDevices(*rig.driver, all, 0, nullptr), 0);
    EXPECT_EQ(EnumerateDevices(*rig.driver, all, 2, nullptr), 2);
}

TEST(HidEnumerate, StopsAtTenAndLeavesLaterSlotsAsTheyWere) {
    HidRig rig;
    for (int i = 0; i < 12; ++i) rig.addController("VMH" + std::to_string(100 + i));
    EXPECT_EQ(rig.link.ListDevices(), 1);
    EXPECT_EQ(rig.array->devices[9].serial(), "VMH109");

    for (int i = 0; i < 12; ++i) rig.driver->device(static_cast<std::size_t>(i)).queryOpenFails = i >= 3;
    rig.out.take();
    EXPECT_EQ(rig.link.ListDevices(), 1);
    EXPECT_EQ(rig.out.text(),
              "List of available devices:\n"
              "\t0) Vellumotor Control System (VMH100)\n"
              "\t1) Vellumotor Control System (VMH101)\n"
              "\t2) Vellumotor Control System (VMH102)\n");
    EXPECT_EQ(rig.array->devices[5].serial(), "VMH105");
}

TEST(HidList, OutputResultAndDeviceTablePerProgram) {
    for (const auto* settings : {&Cli(), &Desktop()}) {
        const bool tool = settings == &Cli();
        HidRig rig(*settings);
        EXPECT_EQ(rig.link.ListDevices(), 0);
        EXPECT_EQ(rig.out.text(), "");

        rig.addController("VMH0001");
        rig.addController("VMH-0002-ABCDEFGHIJ");
        EXPECT_EQ(rig.link.ListDevices(), 1);
        EXPECT_EQ(rig.out.text(),
                  "List of available devices:\n"
                  "\t0) Vellumotor Control System (VMH0001)\n"
                  "\t1) Vellumotor Control System (VMH-0002-ABCDEFGHIJ)\n");
        EXPECT_EQ(rig.link.devices()[0].str(), tool ? "" : "VMH0001");
        // A long serial string keeps its first 15 characters in the table, and that entry
        // opens the device again.
        EXPECT_EQ(rig.link.devices()[1].str(), tool ? "" : "VMH-0002-ABCDEF");
        if (!tool) {
            EXPECT_TRUE(rig.link.Open(rig.link.devices()[1].view()));
            EXPECT_TRUE(rig.driver->device(1).open);
        }
    }
}

TEST(HidString, NarrowingKeepsTheLowByteOfTheFirstUnits) {
    EXPECT_EQ(NarrowHidString(L"Vellumotor"), "Vellumotor");
    EXPECT_EQ(NarrowHidString(std::wstring(L"AB\u0141C")),
              "AB\x41"
              "C");
    EXPECT_EQ(NarrowHidString(std::wstring(L"AB\u0100C")), "AB");  // a zero low byte ends the text
    EXPECT_EQ(NarrowHidString(std::wstring(300, L'x')).size(), 127u);
}

}  // namespace
}  // namespace vm::test
