#include "cli/firmware_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "link/unique_fd.h"

namespace vm::cli {

namespace {

constexpr std::size_t kGroupsPerCluster = kFirmwareClusterSize / kFirmwareGroupSize;  // 512
constexpr std::size_t kChecksumWord = 5;

// Fixed waits that give the unit time to erase, program and compute.
constexpr std::uint32_t kEraseWaitMs = 1000;
constexpr std::uint32_t kClusterWaitMs = 200;
constexpr std::uint32_t kPartialClusterWaitMs = 100;
constexpr std::uint32_t kImageCrcWaitMs = 2000;
constexpr std::uint32_t kRebootWaitMs = 2000;

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

class PosixImageFile final : public ImageFile {
  public:
    PosixImageFile(UniqueFd fd, std::int64_t size) : fd_(std::move(fd)), size_(size) {}
    std::int64_t size() const override { return size_; }
    std::size_t read(std::span<std::uint8_t> buffer) override {
        while (true) {
            const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }

  private:
    UniqueFd fd_;
    std::int64_t size_;
};

// What was read of the file: the first kFirmwareImageLimit bytes (more can never make an image
// that fits) and how many bytes were read in all.
struct LoadedImage {
    std::vector<std::uint8_t> bytes;
    std::int64_t bytesRead = 0;
};

// Reads the file up to the size it reported. Bytes past the image limit are counted and dropped,
// so an oversized file costs time but never memory.
LoadedImage ReadImage(ImageFile& file) {
    LoadedImage image;
    image.bytes.resize(kFirmwareImageLimit);
    std::array<std::uint8_t, 4096> scratch{};
    const std::int64_t size = std::max<std::int64_t>(file.size(), 0);
    while (image.bytesRead < size) {
        const std::int64_t left = size - image.bytesRead;
        std::span<std::uint8_t> target(scratch);
        if (image.bytesRead < static_cast<std::int64_t>(kFirmwareImageLimit))
            target = std::span(image.bytes).subspan(static_cast<std::size_t>(image.bytesRead));
        if (static_cast<std::int64_t>(target.size()) > left)
            target = target.first(static_cast<std::size_t>(left));
        const std::size_t n = file.read(target);
        if (n == 0) break;
        image.bytesRead += static_cast<std::int64_t>(n);
    }
    image.bytes.resize(static_cast<std::size_t>(
        std::min<std::int64_t>(image.bytesRead, static_cast<std::int64_t>(kFirmwareImageLimit))));
    return image;
}

std::uint32_t ReadWord(const std::vector<std::uint8_t>& bytes, std::size_t index) {
    const std::uint8_t* p = bytes.data() + 4 * index;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Writes w5 so that the eight header words sum to zero modulo 2^32, the boot loader's check.
void WriteBootChecksum(std::vector<std::uint8_t>& bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kFirmwareHeaderSize / 4; ++i)
        if (i != kChecksumWord) sum += ReadWord(bytes, i);
    const std::uint32_t checksum = 0u - sum;
    for (std::size_t b = 0; b < 4; ++b)
        bytes[4 * kChecksumWord + b] = static_cast<std::uint8_t>(checksum >> (8 * b));
}

int ToAddress(long value) { return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX)); }

unsigned Hex(int value) { return static_cast<unsigned>(value); }

// Prints the warning naming the unit that the address selects; other addresses name nothing.
void PrintWarning(Session& s, int address, const char* filename) {
    s.print("\n===================== FIRMWARE UPDATE =======================\n\n");
    s.print("  WARNING !!!\n\n");
    s.print("You are are going to reprogram ");
    if (address == 0)
        s.print("a PCI module\n");
    else if (address >= 1 && address <= 6)
        s.print("a VMDM module in >> SLOT:%d <<\n", address);
    else if (address >= 10 && address <= 15)
        s.print("an OEM or RSM module in >> SLOT:%d <<\n", address - 9);
    s.print("The file with filename: >> %s << will be used for the firmware upgrade.\n\n", filename);
    s.print(
        "If a wrong user input or firmware file is being given in this procedure,\nthe device will be "
        "rendered useless. ");
    s.print("Factory reprogramming will be required.\n\n  Continue at your own risk....\n\n");
    s.print("Please recheck input parameters. Would you like to proceed with the update?(y/n)\n\n");
}

// Has the unit program the cluster just streamed and shows the three cluster CRCs. The partial
// last cluster gets shorter waits and its own line breaks.
void WriteCluster(Session& s, int address, int sector, std::uint32_t flashAddress,
                  const std::array<std::uint8_t, kFirmwareClusterSize>& cluster, bool partial) {
    const std::uint32_t waitMs = partial ? kPartialClusterWaitMs : kClusterWaitMs;
    s.print(partial ? "\n\tWriting : Sector %d at Adress 0x%X                         \n"
                    : "\tWriting : Sector %d at Adress 0x%X                         \n",
            sector, flashAddress);
    s.exchange("FU2 %d\r", address);
    s.sleepMs(waitMs);
    s.exchange("FU2A %d %d %d\r", address, sector, static_cast<int>(flashAddress));
    const int ramCrc = s.tokenize().integer(1);
    s.sleepMs(waitMs);
    s.print("\tCluster check: CRC16 of 4096 bytes: \n");
    s.print("\t\t[PC   ]: 0x%X\n", unsigned{Crc16Xmodem(cluster)});
    s.print("\t\t[RAM  ]: 0x%X\n", Hex(ramCrc));
    s.exchange("FU2B %d\r", address);
    s.print(partial ? "\t\t[FLASH]: 0x%X\n" : "\t\t[FLASH]: 0x%X\n\n", Hex(s.tokenize().integer(1)));
}

// True when the text is one decimal number as the tool reads numbers: leading white space, an
// optional sign, at least one digit, and after the digits nothing but blanks (the tokenizer
// leaves all but the last of a run of spaces at the end of a token).
bool IsDecimalNumber(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t digits = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i == digits) return false;
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), isBlank);
}

// The unit's CRC of the programmed image counts only when the exchange succeeded and its reply
// carries a number as token 1. Otherwise a failed exchange (empty reply, token 1 reading 0) or a
// reply too short to overwrite an earlier reply's token 1 could pass for a match.
bool ImageCrcMatches(int exchangeResult, const Tokens& tokens, std::uint16_t imageCrc) {
    if (exchangeResult != 0 || tokens.count() < 2 || !IsDecimalNumber(tokens[1])) return false;
    return tokens.integer(1) == imageCrc;
}

// Streams the padded image and takes it over when the unit's CRC of the programmed image matches.
void Program(Session& s, int address, const std::vector<std::uint8_t>& image) {
    const std::size_t n = image.size();
    const std::uint16_t imageCrc = Crc16Xmodem(image);
    s.print("\tChecksum of File: 0x%X \n\n", unsigned{imageCrc});

    s.exchange("FU0 %d\r", address);
    const Tokens& erase = s.tokenize();
    s.print("  Prepare for Firmware update ...\n\n");
    s.print("\tErasing Image Flash ...\n");
    s.print("\t0x%X 0x%X 0x%X 0x%X 0x%X\n", Hex(erase.integer(1)), Hex(erase.integer(2)),
            Hex(erase.integer(3)), Hex(erase.integer(4)), Hex(erase.integer(5)));
    s.sleepMs(kEraseWaitMs);
    const bool erased = erase.integer(1) == 0 && erase.integer(2) == 255 && erase.integer(3) == 255 &&
                        erase.integer(4) == 255 && erase.integer(5) == 255;
    s.print(erased ? "\tImage successfully erased ...\n\n" : "\tCould not erase image ...\n\n");

    s.print("  Writing Firmware Image to Module ...\n\n");
    std::array<std::uint8_t, kFirmwareClusterSize> cluster;
    cluster.fill(0xFF);
    std::size_t clusterOffset = 0;
    std::size_t group = 0;
    int sector = kFirmwareFirstSector;
    while (kFirmwareGroupSize * group + clusterOffset < n) {
        const std::size_t p = kFirmwareGroupSize * group + clusterOffset;
        // Integer arithmetic gives the exact truncated percentage.
        s.print("\tCluster fill %d/%d -> %d%%...             \r", static_cast<int>(p + 8),
                static_cast<int>(n), static_cast<int>((p + 8) * 100 / n));
        const std::uint8_t* b = image.data() + p;
        s.exchange("FU1 %d %d %d %d %d %d %d %d %d %d\r", address, static_cast<int>(group), b[0], b[1], b[2],
                   b[3], b[4], b[5], b[6], b[7]);
        std::memcpy(cluster.data() + kFirmwareGroupSize * group, b, kFirmwareGroupSize);
        s.tokenize();
        if (group == kGroupsPerCluster - 1) {
            WriteCluster(s, address, sector, kFirmwareFlashBase + static_cast<std::uint32_t>(clusterOffset),
                         cluster, false);
            group = 0;
            clusterOffset += kFirmwareClusterSize;
            cluster.fill(0xFF);
            if (clusterOffset % kFirmwareSectorSize == 0) ++sector;
        } else {
            ++group;
        }
    }
    if (group > 0)
        WriteCluster(s, address, sector, kFirmwareFlashBase + static_cast<std::uint32_t>(clusterOffset),
                     cluster, true);

    s.print("\n  Performing CRC of full image...  \n\n");
    s.exchange("FU3 %d %d\r", address, static_cast<int>(n));
    s.tokenize();
    s.sleepMs(kImageCrcWaitMs);

    s.print("\tRetrieving CRC...  \n");
    const int result = s.exchange("FU4 %d\r", address);
    const Tokens& tokens = s.tokenize();
    s.print("\tChecksum of Image: 0x%X \n", unsigned{imageCrc});
    // A reply without a value (lost, late, cut) leaves token 1 of an earlier reply in its slot,
    // for a one-cluster image the very CRC of the image; shown as the unit's answer it would sit
    // next to "Checksum match FAILED" with the same value. It shows as 0 instead.
    const int flashCrc = tokens.count() > 1 ? tokens.integer(1) : 0;
    s.print("\tChecksum of Flash: 0x%X \n", Hex(flashCrc));
    const bool matching = ImageCrcMatches(result, tokens, imageCrc);
    if (matching) {
        s.print("\n\tChecksums are MATCHING\n");
        s.print("\n  Proceeding with Firmware update !!!\n\n");
        s.print("\tDo not touch device !!!\n\n");
    } else {
        s.print("\tChecksum match FAILED\n");
        s.exchange("FU5 %d\r", address);
        s.tokenize();
        return;
    }
    s.print("\tWriting Firmware... \n");
    s.exchange("FU6 %d\r", address);
    s.print("\n\tCONTROLLER REBOOT...  Please wait...\n");
    s.sleepMs(kRebootWaitMs);
}

// Everything from the confirmation to the end of the programming; returns early on a refusal.
void Update(Session& s, int address, const char* filename, ImageFile* file) {
    PrintWarning(s, address, filename);
    const std::optional<char> key = s.console().readKey();
    if (file == nullptr || key != 'y') {
        s.print("\tFile could not be loaded ...\n");
        return;
    }

    s.print("  Loading File...\n\n");
    const std::int64_t size = std::max<std::int64_t>(file->size(), 0);
    s.print("\tOriginal Filesize = %lld bytes , ", static_cast<long long>(size));
    LoadedImage loaded = ReadImage(*file);
    s.print("%lld bytes read\n\n", static_cast<long long>(loaded.bytesRead));
    // A short read or a file without a whole header stops the update before anything is sent.
    if (loaded.bytesRead < size) {
        s.print("\tFile could not be read completely: %lld of %lld bytes ...\n",
                static_cast<long long>(loaded.bytesRead), static_cast<long long>(size));
        return;
    }
    if (loaded.bytesRead < static_cast<std::int64_t>(kFirmwareHeaderSize)) {
        s.print("\tFile is too short: a firmware image starts with a 32-byte header ...\n");
        return;
    }

    std::vector<std::uint8_t>& image = loaded.bytes;
    s.print("\tGenerate and write internal checksum for bootloader: ");
    WriteBootChecksum(image);
    for (std::size_t b = 0; b < 4; ++b) s.print("%X ", unsigned{image[4 * kChecksumWord + b]});
    s.print("\n\n");

    const std::int64_t padded = (loaded.bytesRead + 7) / 8 * 8;
    s.print("\tIncreasing Filesize to 8byte rounding\n");
    s.print("\tModified Filesize = %lld bytes\n", static_cast<long long>(padded));
    if (padded >= static_cast<std::int64_t>(kFirmwareImageLimit)) {
        s.print("\tUpload could not be performed ...\n");
        s.print("\tFirmware size exceeds 128kb !\n");
        return;
    }
    image.resize(static_cast<std::size_t>(padded), 0);
    Program(s, address, image);
}

}  // namespace

std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
    for (std::uint8_t b : bytes)
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

std::unique_ptr<ImageFile> OpenImageFile(const char* path) {
    // Non-blocking open so that a FIFO cannot wait for a writer; only regular files are read.
    UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return nullptr;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags >= 0) fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return std::make_unique<PosixImageFile>(std::move(fd), static_cast<std::int64_t>(st.st_size));
}

void HandleFU(Session& s, const Words& w) { RunFirmwareUpdate(s, w, OpenImageFile); }

void RunFirmwareUpdate(Session& s, const Words& w, const ImageOpener& open) {
    const int address = ToAddress(w.integer(2));
    std::unique_ptr<ImageFile> file = open(w.c(3));
    Update(s, address, w.c(3), file.get());
    s.print("\n===================== END  OF  UPDATE =======================\n\n");
}

}  // namespace vm::cli
