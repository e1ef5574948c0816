// FU: image preparation, the wire sequence and the printed texts, against scripted replies and
// against the firmware units of the virtual controller, in virtual time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli/firmware_update.h"
#include "sim/controller.h"
#include "sim/firmware.h"
#include "sim/model.h"
#include "sim/sim_link.h"
#include "tests/support/run_tool.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using vm::cli::LinkKind;
using vm::test::ScriptedLink;
using vm::test::ToolHarness;

// Bit-serial CRC-16/XMODEM: each message bit, most significant first, against the top CRC bit.
std::uint16_t ReferenceCrc(const Bytes& bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
        for (int i = 7; i >= 0; --i) {
            const bool feedback = (((b >> i) & 1) != 0) != ((crc & 0x8000) != 0);
            crc = static_cast<std::uint16_t>(crc << 1);
            if (feedback) crc ^= 0x1021;
        }
    }
    return crc;
}

Bytes Pseudorandom(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

// The image the unit should receive: w5 makes the eight header words sum to zero, then zero
// padding to a multiple of 8.
Bytes Prepared(Bytes file) {
    std::uint32_t words[8];
    for (int i = 0; i < 8; ++i)
        words[i] =
            file[4 * i] | file[4 * i + 1] << 8 | file[4 * i + 2] << 16 | std::uint32_t{file[4 * i + 3]} << 24;
    std::uint32_t w5 = 0;
    for (int i = 0; i < 8; ++i)
        if (i != 5) w5 -= words[i];
    for (int b = 0; b < 4; ++b) file[20 + b] = static_cast<std::uint8_t>(w5 >> (8 * b));
    file.resize((file.size() + 7) / 8 * 8, 0);
    return file;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ' || c == '\r') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Image files in a private directory.
class TempDir : public vm::test::TempDir {
  public:
    TempDir() : vm::test::TempDir("vm-fu") {}
    using vm::test::TempDir::file;
    std::string file(const std::string& name, const Bytes& bytes) const {
        return file(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
};

// Passes every exchange on to another link and keeps every line sent, however many.
class RecordingLink final : public vm::COM_METHOD {
  public:
    RecordingLink(const vm::LinkContext& context, vm::COM_METHOD& inner)
        : COM_METHOD(context), inner_(inner) {}
    bool OpenDefault() override { return inner_.OpenDefault(); }
    bool Open(std::string_view name) override { return inner_.Open(name); }
    void Close() override { inner_.Close(); }
    int ListDevices() override { return inner_.ListDevices(); }
    int Exchange() override {
        lines.push_back(command().str());
        inner_.command().assign(command().view());
        const int result = inner_.Exchange();
        reply().assign(inner_.reply().view());
        return result;
    }
    std::vector<std::string> lines;

  private:
    vm::COM_METHOD& inner_;
};

// The tool against the virtual controller's default rack C,O,C,O,R,-.
struct SimRig {
    ToolHarness tool;
    vm::sim::Controller controller{tool.clock, vm::sim::RackConfig::Default()};
    vm::StringTextOut linkOut;
    vm::LinkContext context{vm::LinkSettings::commandLine(), tool.clock, linkOut};
    vm::sim::SimLink sim{context, controller};
    RecordingLink link{context, sim};

    SimRig() { tool.links.serve(LinkKind::Ftdi, link); }
    std::string update(const std::string& address, const std::string& path) {
        tool.console.addKeys("y");
        return tool.run({"FU", address, path});
    }
    const vm::sim::FirmwareUnit* unit(std::int64_t address) {
        return controller.inspect([&](vm::sim::Model& m) { return m.firmware.find(address); });
    }
};

// The lines an update of the prepared image sends when the CRCs match, from the wire format:
// erase, per cluster its groups then FU2, FU2A with sector and address, FU2B; image CRC; FU6.
std::vector<std::string> ExpectedLines(int address, const Bytes& image) {
    const std::string a = std::to_string(address);
    std::vector<std::string> lines{"FU0 " + a + "\r"};
    const std::size_t clusters = (image.size() + 4095) / 4096;
    for (std::size_t k = 0; k < clusters; ++k) {
        for (std::size_t g = 0; g < 512 && 4096 * k + 8 * g < image.size(); ++g) {
            std::string line = "FU1 " + a + " " + std::to_string(g);
            for (std::size_t i = 0; i < 8; ++i) line += " " + std::to_string(image[4096 * k + 8 * g + i]);
            lines.push_back(line + "\r");
        }
        lines.push_back("FU2 " + a + "\r");
        lines.push_back("FU2A " + a + " " + std::to_string(11 + k / 8) + " " +
                        std::to_string(0x20000 + 4096 * k) + "\r");
        lines.push_back("FU2B " + a + "\r");
    }
    lines.push_back("FU3 " + a + " " + std::to_string(image.size()) + "\r");
    lines.push_back("FU4 " + a + "\r");
    lines.push_back("FU6 " + a + "\r");
    return lines;
}

std::vector<std::string> LinesStarting(const std::vector<std::string>& lines, const std::string& word) {
    std::vector<std::string> found;
    for (const auto& l : lines)
        if (l.rfind(word + " ", 0) == 0) found.push_back(l);
    return found;
}

// --- CRC -----------------------------------------------------------------------------------

TEST(FirmwareCrc, MatchesTheBitwiseReferenceAndTheCheckValue) {
    const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ReferenceCrc(digits), 0x31C3);
    EXPECT_EQ(vm::cli::Crc16Xmodem(digits), 0x31C3);
    EXPECT_EQ(vm::sim::UnitCrc16(digits), 0x31C3);
    EXPECT_EQ(vm::cli::Crc16Xmodem(Bytes{}), 0);
    for (std::size_t size : {1u, 2u, 7u, 255u, 4096u, 131064u}) {
        const Bytes bytes = Pseudorandom(size, static_cast<std::uint32_t>(size));
        EXPECT_EQ(vm::cli::Crc16Xmodem(bytes), ReferenceCrc(bytes)) << size;
        EXPECT_EQ(vm::sim::UnitCrc16(bytes), ReferenceCrc(bytes)) << size;
        // Continuing over a second piece gives the CRC of the whole.
        const std::size_t half = size / 2;
        const std::uint16_t first = vm::cli::Crc16Xmodem(std::span(bytes).first(half));
        EXPECT_EQ(vm::cli::Crc16Xmodem(std::span(bytes).subspan(half), first), ReferenceCrc(bytes)) << size;
    }
}

// --- The whole sequence with exact texts, against scripted replies -------------------------

// A 37-byte file padded to 40 bytes at ADDR 10: five groups, one partial cluster. The CRC values
// were computed outside the project: image 0xBD3C, cluster (40 bytes then 4056 x 0xFF) 0x57FE.
TEST(FirmwareUpdate, PrintsEveryTextAndSendsEveryLineOfAShortImage) {
    TempDir dir;
    Bytes file;
    for (int i = 1; i <= 37; ++i) file.push_back(static_cast<std::uint8_t>(i));
    const std::string path = dir.file("small.bin", file);
    ScriptedLink link({
        {"FU0 10\r", "_FU0 0 255 255 255 255\r"},
        {"FU1 10 0 1 2 3 4 5 6 7 8\r", "_FU1\r"},
        {"FU1 10 1 9 10 11 12 13 14 15 16\r", "_FU1\r"},
        {"FU1 10 2 17 18 19 20 157 149 142 135\r", "_FU1\r"},
        {"FU1 10 3 25 26 27 28 29 30 31 32\r", "_FU1\r"},
        {"FU1 10 4 33 34 35 36 37 0 0 0\r", "_FU1\r"},
        {"FU2 10\r", "_FU2\r"},
        {"FU2A 10 11 131072\r", "_FU2A 22526\r"},
        {"FU2B 10\r", "_FU2B 22526\r"},
        {"FU3 10 40\r", "_FU3\r"},
        {"FU4 10\r", "_FU4 48444\r"},
        {"FU6 10\r", "_FU6\r"},
    });
    ToolHarness h;
    h.links.serve(LinkKind::Ftdi, link);
    h.console.addKeys("y");
    const std::string out = h.run({"FU", "10", path});
    const std::string expected =
        "\n===================== FIRMWARE UPDATE =======================\n\n"
        "  WARNING !!!\n\n"
        "You are are going to reprogram an OEM or RSM module in >> SLOT:1 <<\n"
        "The file with filename: >> " +
        path +
        " << will be used for the firmware upgrade.\n\n"
        "If a wrong user input or firmware file is being given in this procedure,\n"
        "the device will be rendered useless. Factory reprogramming will be required.\n\n"
        "  Continue at your own risk....\n\n"
        "Please recheck input parameters. Would you like to proceed with the update?(y/n)\n\n"
        "  Loading File...\n\n"
        "\tOriginal Filesize = 37 bytes , 37 bytes read\n\n"
        "\tGenerate and write internal checksum for bootloader: 9D 95 8E 87 \n\n"
        "\tIncreasing Filesize to 8byte rounding\n"
        "\tModified Filesize = 40 bytes\n"
        "\tChecksum of File: 0xBD3C \n\n"
        "  Prepare for Firmware update ...\n\n"
        "\tErasing Image Flash ...\n"
        "\t0x0 0xFF 0xFF 0xFF 0xFF\n"
        "\tImage successfully erased ...\n\n"
        "  Writing Firmware Image to Module ...\n\n"
        "\tCluster fill 8/40 -> 20%...             \r"
        "\tCluster fill 16/40 -> 40%...             \r"
        "\tCluster fill 24/40 -> 60%...             \r"
        "\tCluster fill 32/40 -> 80%...             \r"
        "\tCluster fill 40/40 -> 100%...             \r"
        "\n\tWriting : Sector 11 at Adress 0x20000                         \n"
        "\tCluster check: CRC16 of 4096 bytes: \n"
        "\t\t[PC   ]: 0x57FE\n"
        "\t\t[RAM  ]: 0x57FE\n"
        "\t\t[FLASH]: 0x57FE\n"
        "\n  Performing CRC of full image...  \n\n"
        "\tRetrieving CRC...  \n"
        "\tChecksum of Image: 0xBD3C \n"
        "\tChecksum of Flash: 0xBD3C \n"
        "\n\tChecksums are MATCHING\n"
        "\n  Proceeding with Firmware update !!!\n\n"
        "\tDo not touch device !!!\n\n"
        "\tWriting Firmware... \n"
        "\n\tCONTROLLER REBOOT...  Please wait...\n"
        "\n===================== END  OF  UPDATE =======================\n\n";
    EXPECT_EQ(out, expected);
    // Erase 1000, partial cluster 2 x 100, image CRC 2000, reboot 2000.
    EXPECT_EQ(h.clock.elapsedMs(), 5200);
}

// The warning names the unit by address; any address is sent as typed, as an integer.
TEST(FirmwareUpdate, WarningNamesTheUnitOfTheAddress) {
    struct Case {
        std::string address;
        std::string names;
    };
    const Case cases[] = {
        {"0", "You are are going to reprogram a PCI module\n"},
        {"1", "You are are going to reprogram a VMDM module in >> SLOT:1 <<\n"},
        {"6", "You are are going to reprogram a VMDM module in >> SLOT:6 <<\n"},
        {"10", "You are are going to reprogram an OEM or RSM module in >> SLOT:1 <<\n"},
        {"15", "You are are going to reprogram an OEM or RSM module in >> SLOT:6 <<\n"},
        {"7", "You are are going to reprogram The file with filename"},
        {"16", "You are are going to reprogram The file with filename"},
        {"-1", "You are are going to reprogram The file with filename"},
    };
    for (const auto& c : cases) {
        ScriptedLink link;  // answered 'n': nothing may be sent
        ToolHarness h;
        h.links.serve(LinkKind::Ftdi, link);
        h.console.addKeys("n");
        const std::string out = h.run({"FU", c.address, "/nonexistent/image.bin"});
        EXPECT_NE(out.find(c.names), std::string::npos) << c.address << "\n" << out;
    }
}

// --- Refusals: nothing is sent ----------------------------------------------------------------

// A file whose reported size is larger than what it delivers.
class ShortFile final : public vm::cli::ImageFile {
  public:
    ShortFile(std::int64_t size, std::size_t delivers) : size_(size), left_(delivers) {}
    std::int64_t size() const override { return size_; }
    std::size_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n = std::min(buffer.size(), left_);
        std::fill_n(buffer.begin(), n, std::uint8_t{0x5A});
        left_ -= n;
        return n;
    }

  private:
    std::int64_t size_;
    std::size_t left_;
};

const std::string kEnd = "\n===================== END  OF  UPDATE =======================\n\n";
const std::string kNotLoaded = "\tFile could not be loaded ...\n" + kEnd;
TEST(FirmwareUpdate, RefusesBeforeSendingAnything) {
    TempDir dir;
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string what;
        std::string path;
        std::string keys;
        std::string tail;  // the output from the loading step on
    };
    const Case cases[] = {
        {"answered n", dir.file("a.bin", Pseudorandom(64, 1)), "n", kNotLoaded},
        {"answered Y", dir.file("b.bin", Pseudorandom(64, 1)), "Y", kNotLoaded},
        {"no key at end of input", dir.file("c.bin", Pseudorandom(64, 1)), "", kNotLoaded},
        {"missing file", dir.path("missing.bin"), "y", kNotLoaded},
        {"directory", dir.path(""), "y", kNotLoaded},
        {"fifo without a writer", fifo, "y", kNotLoaded},
        {"13 bytes", dir.file("13.bin", Pseudorandom(13, 2)), "y",
         "  Loading File...\n\n\tOriginal Filesize = 13 bytes , 13 bytes read\n\n"
         "\tFile is too short: a firmware image starts with a 32-byte header ...\n" +
             kEnd},
        {"31 bytes", dir.file("31.bin", Pseudorandom(31, 2)), "y",
         "  Loading File...\n\n\tOriginal Filesize = 31 bytes , 31 bytes read\n\n"
         "\tFile is too short: a firmware image starts with a 32-byte header ...\n" +
             kEnd},
        {"empty", dir.file("0.bin", Bytes{}), "y",
         "  Loading File...\n\n\tOriginal Filesize = 0 bytes , 0 bytes read\n\n"
         "\tFile is too short: a firmware image starts with a 32-byte header ...\n" +
             kEnd},
    };
    for (const auto& c : cases) {
        ScriptedLink link;
        ToolHarness h;
        h.links.serve(LinkKind::Ftdi, link);
        h.console.addKeys(c.keys);
        const std::string out = h.run({"FU", "1", c.path});
        EXPECT_TRUE(out.ends_with(c.tail)) << c.what << "\n" << out;
        EXPECT_EQ(Count(out, "Please recheck input parameters"), 1u) << c.what;
        EXPECT_TRUE(link.sent().empty()) << c.what;
        EXPECT_EQ(h.clock.elapsedMs(), 0) << c.what;
    }
}

// 131065 bytes pad to 131072, which is refused; 131064 bytes is the largest image.
TEST(FirmwareUpdate, RefusesAnImageThatReaches128KiBAfterPadding) {
    TempDir dir;
    const Bytes file = Pseudorandom(131065, 7);
    const Bytes image = Prepared(file);
    char checksum[32];
    std::snprintf(checksum, sizeof checksum, "%X %X %X %X ", image[20], image[21], image[22], image[23]);
    ScriptedLink link;
    ToolHarness h;
    h.links.serve(LinkKind::Ftdi, link);
    h.console.addKeys("y");
    const std::string out = h.run({"FU", "1", dir.file("big.bin", file)});
    EXPECT_TRUE(
        out.ends_with("  Loading File...\n\n"
                      "\tOriginal Filesize = 131065 bytes , 131065 bytes read\n\n"
                      "\tGenerate and write internal checksum for bootloader: " +
                      std::string(checksum) +
                      "\n\n"
                      "\tIncreasing Filesize to 8byte rounding\n"
                      "\tModified Filesize = 131072 bytes\n"
                      "\tUpload could not be performed ...\n"
                      "\tFirmware size exceeds 128kb !\n" +
                      kEnd))
        << out;
    EXPECT_TRUE(link.sent().empty());
}

TEST(FirmwareUpdate, ShortReadStopsBeforeAnythingIsSent) {
    struct Case {
        std::int64_t size;
        std::size_t delivers;
        std::string tail;
    };
    const Case cases[] = {
        {5000, 4000,
         "\tOriginal Filesize = 5000 bytes , 4000 bytes read\n\n"
         "\tFile could not be read completely: 4000 of 5000 bytes ...\n" +
             kEnd},
        {64, 10,
         "\tOriginal Filesize = 64 bytes , 10 bytes read\n\n"
         "\tFile could not be read completely: 10 of 64 bytes ...\n" +
             kEnd},
        {200000, 131072,
         "\tOriginal Filesize = 200000 bytes , 131072 bytes read\n\n"
         "\tFile could not be read completely: 131072 of 200000 bytes ...\n" +
             kEnd},
    };
    for (const auto& c : cases) {
        vm::test::HandlerHarness h;  // its scripted link fails the test if anything is sent
        h.console.addKeys("y");
        vm::cli::RunFirmwareUpdate(
            h.session, vm::cli::Words({"vmcli", "FU", "1", "image.bin"}),
            [&](const char*) { return std::make_unique<ShortFile>(c.size, c.delivers); });
        const std::string out = h.output();
        EXPECT_TRUE(out.ends_with(c.tail)) << out;
    }
}

// --- Against the virtual controller ----------------------------------------------------------

struct SizeCase {
    std::size_t size;
    int address;
    std::vector<std::string> clusterWrites;  // the FU2A lines
    std::size_t lastClusterGroups;
    std::int64_t waitsMs;
};

// 4096: one full cluster and no partial one; 5000: a partial cluster of 113 groups at 0x21000;
// 40960: clusters 8 and 9 in sector 12. Waits: erase 1000, 400 per full cluster, 200 for a
// partial one, image CRC 2000, reboot 2000.
const SizeCase kSizeCases[] = {
    {4096, 1, {"FU2A 1 11 131072\r"}, 512, 1000 + 400 + 4000},
    {5000, 11, {"FU2A 11 11 131072\r", "FU2A 11 11 135168\r"}, 113, 1000 + 400 + 200 + 4000},
    {40960,
     0,
     {"FU2A 0 11 131072\r", "FU2A 0 11 135168\r", "FU2A 0 11 139264\r", "FU2A 0 11 143360\r",
      "FU2A 0 11 147456\r", "FU2A 0 11 151552\r", "FU2A 0 11 155648\r", "FU2A 0 11 159744\r",
      "FU2A 0 12 163840\r", "FU2A 0 12 167936\r"},
     512,
     1000 + 10 * 400 + 4000},
};

TEST(FirmwareUpdateOnSim, ProgramsImagesOfEachShapeAndReportsTheNewVersion) {
    for (const auto& c : kSizeCases) {
        SCOPED_TRACE(c.size);
        TempDir dir;
        const Bytes file = Pseudorandom(c.size, static_cast<std::uint32_t>(c.size));
        const Bytes image = Prepared(file);
        SimRig rig;
        const std::string out = rig.update(std::to_string(c.address), dir.file("image.bin", file));

        EXPECT_EQ(rig.link.lines, ExpectedLines(c.address, image));
        EXPECT_EQ(LinesStarting(rig.link.lines, "FU2A"), c.clusterWrites);
        const auto groups = LinesStarting(rig.link.lines, "FU1");
        EXPECT_EQ(groups.size(), image.size() / 8);
        EXPECT_EQ(Split(groups.back())[2], std::to_string(c.lastClusterGroups - 1));
        EXPECT_EQ(rig.tool.clock.elapsedMs(), c.waitsMs);

        char crc[64];
        std::snprintf(crc, sizeof crc, "\tChecksum of Image: 0x%X \n\tChecksum of Flash: 0x%X \n",
                      ReferenceCrc(image), ReferenceCrc(image));
        EXPECT_NE(out.find(crc), std::string::npos) << out;
        EXPECT_NE(out.find("Checksums are MATCHING"), std::string::npos);
        EXPECT_EQ(Count(out, "\tCluster check: CRC16 of 4096 bytes: \n"), c.clusterWrites.size());
        EXPECT_TRUE(out.ends_with("\n\tCONTROLLER REBOOT...  Please wait...\n" + kEnd)) << out;

        const auto* unit = rig.unit(c.address);
        ASSERT_NE(unit, nullptr);
        EXPECT_EQ(unit->installs, 1);
        char version[16];
        std::snprintf(version, sizeof version, "fw-%04X", ReferenceCrc(image));
        EXPECT_EQ(rig.tool.run({"FIV", std::to_string(c.address)}),
                  "Firmware Version: " + std::string(version) + " \n");
    }
}

// The partial cluster of the 5000-byte image: its CRC covers the 904 image bytes of the cluster
// and 3192 bytes of 0xFF, and the unit's RAM and flash agree.
TEST(FirmwareUpdateOnSim, PartialClusterIsPaddedWithFF) {
    TempDir dir;
    const Bytes image = Prepared(Pseudorandom(5000, 5000));
    Bytes last(image.begin() + 4096, image.end());
    ASSERT_EQ(last.size(), 904u);
    last.resize(4096, 0xFF);
    char lines[200];
    const unsigned crc = ReferenceCrc(last);
    std::snprintf(
        lines, sizeof lines,
        "\n\tWriting : Sector 11 at Adress 0x21000                         \n"
        "\tCluster check: CRC16 of 4096 bytes: \n\t\t[PC   ]: 0x%X\n\t\t[RAM  ]: 0x%X\n\t\t[FLASH]: 0x%X\n"
        "\n  Performing CRC",
        crc, crc, crc);
    SimRig rig;
    const std::string out = rig.update("11", dir.file("image.bin", Pseudorandom(5000, 5000)));
    EXPECT_NE(out.find(lines), std::string::npos) << out;
}

// The largest image, 131064 bytes: 16383 groups in 32 clusters (the last one 511 groups short of
// full), sectors 11 to 14, then FU6.
TEST(FirmwareUpdateOnSim, Full128KiBUpdateInVirtualTime) {
    TempDir dir;
    const Bytes file = Pseudorandom(131064, 99);
    const Bytes image = Prepared(file);
    SimRig rig;
    const std::string out = rig.update("3", dir.file("full.bin", file));

    const auto& lines = rig.link.lines;
    EXPECT_EQ(lines, ExpectedLines(3, image));
    EXPECT_EQ(lines.size(), 1 + 16383 + 32 * 3 + 3u);
    const auto groups = LinesStarting(lines, "FU1");
    ASSERT_EQ(groups.size(), 16383u);
    for (std::size_t i = 0; i < groups.size(); ++i)
        ASSERT_EQ(Split(groups[i])[2], std::to_string(i % 512)) << i;
    const auto writes = LinesStarting(lines, "FU2A");
    ASSERT_EQ(writes.size(), 32u);
    for (std::size_t k = 0; k < writes.size(); ++k) {
        const auto w = Split(writes[k]);
        EXPECT_EQ(w[2], std::to_string(11 + k / 8)) << k;
        EXPECT_EQ(w[3], std::to_string(0x20000 + 4096 * k)) << k;
    }
    EXPECT_EQ(lines.back(), "FU6 3\r");
    EXPECT_EQ(Count(out, "\tWriting : Sector 14 at Adress 0x3F000"), 1u);
    EXPECT_NE(out.find("\tCluster fill 131064/131064 -> 100%...             \r"), std::string::npos);
    EXPECT_NE(out.find("\tCluster fill 4096/131064 -> 3%...             \r"), std::string::npos);
    EXPECT_EQ(rig.tool.clock.elapsedMs(), 1000 + 31 * 400 + 200 + 2000 + 2000);
    EXPECT_EQ(rig.unit(3)->installs, 1);
    EXPECT_EQ(rig.unit(3)->clustersProgrammed, 32);
}

// A bit that flips in one cluster, in the unit's RAM or in its flash, or an erase that failed,
// must end in FU5 and never FU6: the unit keeps its firmware.
TEST(FirmwareUpdateOnSim, CorruptedClusterEndsInFU5) {
    using Kind = vm::sim::FirmwareFault::Kind;
    struct Case {
        std::string what;
        vm::sim::FirmwareFault fault;
        std::size_t size;
    };
    const Case cases[] = {
        {"RAM bit in cluster 3", {Kind::FlipRamBit, -1, 3, 1234}, 40960},
        {"flash bit in cluster 0", {Kind::FlipFlashBit, 1, 0, 0}, 40960},
        {"flash bit in the partial cluster", {Kind::FlipFlashBit, 1, 1, 903 * 8 + 7}, 5000},
        {"RAM bit in the last cluster of 128 KiB", {Kind::FlipRamBit, 1, 31, 4087 * 8}, 131064},
        {"erase failed", {Kind::EraseFails, 1, 0, 0}, 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        SimRig rig;
        rig.controller.inspect([&](vm::sim::Model& m) { m.firmware.fault = c.fault; });
        const std::string out = rig.update("1", dir.file("image.bin", Pseudorandom(c.size, 3)));
        ASSERT_FALSE(rig.link.lines.empty());
        EXPECT_EQ(rig.link.lines.back(), "FU5 1\r");
        EXPECT_TRUE(LinesStarting(rig.link.lines, "FU6").empty());
        EXPECT_NE(out.find("\tChecksum match FAILED\n" + kEnd), std::string::npos)
            << out.substr(out.size() - 400);
        EXPECT_EQ(out.find("CONTROLLER REBOOT"), std::string::npos);
        EXPECT_EQ(rig.unit(1)->installs, 0);
        EXPECT_EQ(rig.unit(1)->aborts, 1);
        EXPECT_EQ(rig.tool.run({"FIV", "1"}), "Firmware Version: 3.05 \n");
    }
}

TEST(FirmwareUpdateOnSim, EraseFailureIsReportedAndTheUpdateGoesOn) {
    TempDir dir;
    SimRig rig;
    rig.controller.inspect(
        [](vm::sim::Model& m) { m.firmware.fault.kind = vm::sim::FirmwareFault::Kind::EraseFails; });
    const std::string out = rig.update("0", dir.file("image.bin", Pseudorandom(64, 3)));
    EXPECT_NE(out.find("\tErasing Image Flash ...\n\t0x1 0x0 0x0 0x0 0x0\n\tCould not erase image ...\n\n"
                       "  Writing Firmware Image to Module ...\n\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(LinesStarting(rig.link.lines, "FU1").size(), 8u);
}

// An address with no unit behind it gets "MNF" for every line: no CRC ever matches.
TEST(FirmwareUpdateOnSim, EmptySlotNeverTakesOverAnImage) {
    TempDir dir;
    SimRig rig;  // slot 6 is empty
    const std::string out = rig.update("6", dir.file("image.bin", Pseudorandom(64, 3)));
    EXPECT_EQ(rig.link.lines.back(), "FU5 6\r");
    EXPECT_NE(out.find("\tCould not erase image ...\n"), std::string::npos);
}

// --- The whole-image decision ----------------------------------------------------------------

// An image whose CRC is 0: the last two bytes are the CRC of the rest, most significant first.
Bytes ZeroCrcFile() {
    Bytes file = Pseudorandom(40, 11);
    const Bytes prepared = Prepared(file);
    const std::uint16_t crc = ReferenceCrc(Bytes(prepared.begin(), prepared.end() - 2));
    file[38] = static_cast<std::uint8_t>(crc >> 8);
    file[39] = static_cast<std::uint8_t>(crc);
    return file;
}

// FU6 only for a successful exchange whose reply carries the matching CRC as a number. A failed
// exchange reads as 0 and a one-token reply leaves an earlier token 1 in place; neither counts.
TEST(FirmwareUpdate, OnlyAValidMatchingReplyLeadsToFU6) {
    TempDir dir;
    const std::string path = dir.file("zero.bin", ZeroCrcFile());
    ASSERT_EQ(ReferenceCrc(Prepared(ZeroCrcFile())), 0);
    struct Case {
        std::string what;
        std::string fu3Reply;
        std::string fu4Reply;
        int fu4Result;
        std::string last;
    };
    const Case cases[] = {
        {"matching", "_FU3\r", "_FU4 0\r", 0, "FU6 1\r"},
        {"link failure", "_FU3\r", "", 1, "FU5 1\r"},
        {"failure code with a reply", "_FU3\r", "_FU4 0\r", 2, "FU5 1\r"},
        {"no CRC in the reply", "_FU3\r", "_FU4\r", 0, "FU5 1\r"},
        {"stale token from FU3", "_FU3 0\r", "_FU4", 0, "FU5 1\r"},
        {"not a number", "_FU3\r", "_FU4 x\r", 0, "FU5 1\r"},
        {"other CRC", "_FU3\r", "_FU4 1\r", 0, "FU5 1\r"},
        {"CRC plus 65536", "_FU3\r", "_FU4 65536\r", 0, "FU5 1\r"},
        {"blanks after the CRC stay in its token", "_FU3\r", "_FU4 0  \r", 0, "FU6 1\r"},
        {"plus sign", "_FU3\r", "_FU4 +0\r", 0, "FU6 1\r"},
        {"leading tab and zeros", "_FU3\r", "_FU4 \t000000\r", 0, "FU6 1\r"},
        {"sign without digits", "_FU3\r", "_FU4 +\r", 0, "FU5 1\r"},
        {"digits then text", "_FU3\r", "_FU4 0x\r", 0, "FU5 1\r"},
        {"tab inside the number", "_FU3\r", "_FU4 0\t0\r", 0, "FU5 1\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLink link;
        link.expect("FU0 1\r", "_FU0 0 255 255 255 255\r");
        for (int g = 0; g < 5; ++g) link.expect("*", "_FU1\r");
        link.expect("FU2 1\r", "_FU2\r").expect("*", "_FU2A 1\r").expect("FU2B 1\r", "_FU2B 1\r");
        link.expect("FU3 1 40\r", c.fu3Reply).expect("FU4 1\r", c.fu4Reply, c.fu4Result);
        link.expect(c.last, "");
        ToolHarness h;
        h.links.serve(LinkKind::Ftdi, link);
        h.console.addKeys("y");
        h.run({"FU", "1", path});
        EXPECT_EQ(link.sent().size(), 12u);
    }
}

// An FU4 reply without a CRC shows the flash CRC as 0, not the CRC that FU2B left in token 1
// (for a one-cluster image the same value as the image's own CRC, next to the FAILED line).
TEST(FirmwareUpdate, MissingImageCrcIsNotShownFromAnEarlierReply) {
    TempDir dir;
    const std::string path = dir.file("small.bin", Pseudorandom(40, 3));
    for (const auto& [fu4Reply, fu4Result] : {std::pair<std::string, int>{"", 2}, {"_FU4", 0}}) {
        SCOPED_TRACE("FU4 reply \"" + fu4Reply + "\"");
        ScriptedLink link;
        link.expect("FU0 1\r", "_FU0 0 255 255 255 255\r");
        for (int g = 0; g < 5; ++g) link.expect("*", "_FU1\r");
        link.expect("FU2 1\r", "_FU2\r").expect("*", "_FU2A 4660\r").expect("FU2B 1\r", "_FU2B 4660");
        // Without its carriage return (as the LAN link hands it over) the FU3 reply is one token.
        link.expect("FU3 1 40\r", "_FU3").expect("FU4 1\r", fu4Reply, fu4Result).expect("FU5 1\r", "_FU5\r");
        ToolHarness h;
        h.links.serve(LinkKind::Ftdi, link);
        h.console.addKeys("y");
        const std::string out = h.run({"FU", "1", path});
        EXPECT_NE(out.find("\tChecksum of Flash: 0x0 \n\tChecksum match FAILED\n"), std::string::npos) << out;
        EXPECT_EQ(link.sent().size(), 12u);
    }
}

// --- The unit side on its own ----------------------------------------------------------------

TEST(FirmwareUnit, RejectsMalformedLines) {
    vm::VirtualClock clock;
    vm::sim::Controller controller{clock, vm::sim::RackConfig::Default()};
    struct Case {
        std::string line;
        std::string reply;
    };
    const Case cases[] = {
        {"FU0 1\r", "_FU0 0 255 255 255 255\r"},
        {"FU0\r", "CNR\r"},
        {"FU0 x\r", "CNR\r"},
        {"FU0 6\r", "MNF\r"},  // empty slot
        {"FU0 2\r", "MNF\r"},  // slot 2 holds an encoder module: it answers at 11
        {"FU0 11\r", "_FU0 0 255 255 255 255\r"},
        {"FU0 14\r", "_FU0 0 255 255 255 255\r"},  // the sensor module in slot 5
        {"FU1 1 512 0 0 0 0 0 0 0 0\r", "CNR\r"},
        {"FU1 1 -1 0 0 0 0 0 0 0 0\r", "CNR\r"},
        {"FU1 1 0 0 0 0 0 0 0 0 256\r", "CNR\r"},
        {"FU1 1 0 0 0 0 0 0 0 0\r", "CNR\r"},
        {"FU2B 1\r", "CNR\r"},  // nothing programmed yet
        {"FU4 1\r", "CNR\r"},   // no image CRC yet
        {"FU6 1\r", "CNR\r"},
        {"FU2A 1 12 131072\r", "CNR\r"},  // sector does not match the address
        {"FU2A 1 11 131073\r", "CNR\r"},  // not a cluster boundary
        {"FU2A 1 15 262144\r", "CNR\r"},  // past the image area
        {"FU3 1 0\r", "CNR\r"},
        {"FU3 1 131073\r", "CNR\r"},
        {"FU1 1 511 1 2 3 4 5 6 7 8\r", "_FU1\r"},
        {"FU2A 1 11 131072\r", "_FU2A 12403\r"},
        {"FU2B 1\r", "_FU2B 12403\r"},
    };
    for (const auto& c : cases) EXPECT_EQ(controller.Process(c.line), c.reply) << c.line;
    // Group 511 holds 1..8, the rest of the cluster 0xFF.
    Bytes cluster(4096, 0xFF);
    for (int i = 0; i < 8; ++i) cluster[4088 + i] = static_cast<std::uint8_t>(i + 1);
    EXPECT_EQ(ReferenceCrc(cluster), 12403);
}

// Programming without an erase only clears bits, as NOR flash does: the image comes out wrong.
TEST(FirmwareUnit, ProgrammingWithoutEraseCorruptsTheImage) {
    vm::VirtualClock clock;
    vm::sim::Controller controller{clock, vm::sim::RackConfig::Default()};
    EXPECT_EQ(controller.Process("FU1 1 0 255 255 255 255 255 255 255 255\r"), "_FU1\r");
    EXPECT_EQ(controller.Process("FU2A 1 11 131072\r"), "_FU2A " + std::to_string(ReferenceCrc([] {
                                                            Bytes c(4096, 0xFF);
                                                            return c;
                                                        }())) +
                                                            "\r");
    EXPECT_EQ(controller.Process("FU2B 1\r"), "_FU2B " + std::to_string(ReferenceCrc(Bytes(4096, 0))) + "\r");
}

TEST(FirmwareUnit, ParsesFaultsFromText) {
    using Kind = vm::sim::FirmwareFault::Kind;
    const auto ram = vm::sim::ParseFirmwareFault("fliprambit:3:17");
    ASSERT_TRUE(ram);
    EXPECT_EQ(ram->kind, Kind::FlipRamBit);
    EXPECT_EQ(ram->cluster, 3);
    EXPECT_EQ(ram->bit, 17);
    EXPECT_EQ(ram->address, -1);
    const auto flash = vm::sim::ParseFirmwareFault("flipflashbit:31:32767@10");
    ASSERT_TRUE(flash);
    EXPECT_EQ(flash->kind, Kind::FlipFlashBit);
    EXPECT_EQ(flash->address, 10);
    EXPECT_EQ(vm::sim::ParseFirmwareFault("erasefail")->kind, Kind::EraseFails);
    for (const char* bad :
         {"", "flip", "fliprambit", "fliprambit:3", "fliprambit:32:0", "fliprambit:0:32768",
          "fliprambit:-1:0", "fliprambit:1:2:3", "erasefail@", "erasefail@x", "nonsense:1:1"})
        EXPECT_FALSE(vm::sim::ParseFirmwareFault(bad)) << bad;
}

}  // namespace
