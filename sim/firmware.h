#pragma once
// The firmware-update side of every unit of the virtual rack (the front end at address 0, drive
// modules at their slot, encoder and sensor modules at their slot plus 9). A unit erases its
// image area, collects 8-byte groups in a 4096-byte RAM cluster buffer, programs the buffer into
// flash one cluster at a time, reports CRCs of the RAM buffer, of the programmed cluster and of
// the whole image, and takes over the new image on "FU6".
//
//   FU0 a                 erase the image area        -> "_FU0 r b0 b1 b2 b3" (r 0 when erased,
//                                                         then the first four bytes of the area)
//   FU1 a g b0 ... b7     store group g (0 to 511)    -> "_FU1"
//   FU2 a                 the cluster is complete     -> "_FU2"
//   FU2A a sector addr    program it at addr          -> "_FU2A crc" (CRC of the RAM buffer)
//   FU2B a                                            -> "_FU2B crc" (CRC of the programmed cluster)
//   FU3 a n               CRC of the first n bytes    -> "_FU3"
//   FU4 a                                             -> "_FU4 crc" (the CRC that "FU3" computed)
//   FU5 a                 drop the new image          -> "_FU5"
//   FU6 a                 take over the new image     -> "_FU6"
//
// Flash behaves as NOR flash: programming only clears bits, so an area that was not erased ends
// up with the AND of old and new data. A line that does not parse, or an "FU2A" whose sector
// does not match the address, gets "CNR"; an address with no unit gets "MNF".
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm::sim {

class CommandTable;

// Faults a unit can be told to make during an update.
struct FirmwareFault {
    enum class Kind {
        None,
        FlipRamBit,    // one bit of the cluster buffer flips before it is programmed
        FlipFlashBit,  // one bit of the cluster flips while it is programmed
        EraseFails,    // "FU0" reports failure and leaves the area as it was
    };
    Kind kind = Kind::None;
    std::int64_t address = -1;  // the unit it applies to; -1: every unit
    int cluster = 0;            // the cluster it hits: cluster k is programmed at 0x20000 + 4096 * k
    int bit = 0;                // bit index within the cluster, 0 to 32767 (bit 0: LSB of byte 0)

    bool active() const { return kind != Kind::None; }
};

struct FirmwareUnit {
    static constexpr std::size_t kClusterSize = 4096;
    static constexpr std::size_t kAreaSize = 131072;  // the image area, flash 0x20000 to 0x3FFFF

    // Until the first erase the area holds the running firmware, all zero here.
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(kAreaSize, 0);
    std::array<std::uint8_t, kClusterSize> ram = FilledRam();
    std::optional<std::size_t> lastCluster;  // offset of the cluster programmed last
    std::optional<std::uint16_t> imageCrc;   // from "FU3"
    std::uint32_t imageLength = 0;
    int groupsStored = 0;
    int clustersProgrammed = 0;
    int erases = 0;
    int aborts = 0;    // "FU5"
    int installs = 0;  // "FU6" that took over an image
    std::string installedVersion;

    static std::array<std::uint8_t, kClusterSize> FilledRam() {
        std::array<std::uint8_t, kClusterSize> ram;
        ram.fill(0xFF);
        return ram;
    }
};

struct FirmwareUnits {
    std::map<std::int64_t, FirmwareUnit> units;  // by unit address, created on first use
    FirmwareFault fault;

    const FirmwareUnit* find(std::int64_t address) const {
        const auto it = units.find(address);
        return it == units.end() ? nullptr : &it->second;
    }
};

// The unit's CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
std::uint16_t UnitCrc16(std::span<const std::uint8_t> bytes);

// The firmware version a unit reports through "FIV" after taking over an image: "fw-" and the
// image's CRC as four hexadecimal digits.
std::string ImageVersion(std::uint16_t imageCrc);

// Parses a fault for the command line: "fliprambit:CLUSTER:BIT", "flipflashbit:CLUSTER:BIT" or
// "erasefail", each optionally followed by "@ADDRESS". nullopt for anything else.
std::optional<FirmwareFault> ParseFirmwareFault(std::string_view text);

void RegisterFirmwareCommands(CommandTable& table);

}  // namespace vm::sim
