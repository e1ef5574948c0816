// Firmware-update command words of every unit: erase, collect groups, program clusters, CRCs of
// RAM, flash and the whole image, drop or take over the new image.
#include "sim/firmware.h"

#include <charconv>
#include <cstdio>

#include "sim/model.h"

namespace vm::sim {

namespace {

constexpr std::int64_t kFlashBase = 0x20000;
constexpr std::size_t kSectorSize = 32768;
constexpr int kFirstSector = 11;
constexpr int kGroupsPerCluster = 512;
constexpr std::size_t kGroupSize = 8;

// The unit that answers at the address, or nullptr when there is none: the front end at 0, a
// drive module at its slot, an encoder or sensor module at its slot plus 9.
std::string* VersionOf(Model& model, std::int64_t address) {
    if (address == 0) return &model.front.version;
    if (Slot* s = model.slot(address, ModuleKind::Drive)) return &s->drive.version;
    if (Slot* s = model.moduleAt(address, ModuleKind::Encoder)) return &s->encoder.version;
    if (Slot* s = model.moduleAt(address, ModuleKind::Sensor)) return &s->sensor.version;
    return nullptr;
}

// A line "WORD a ..." with exactly `args` arguments, addressed to an existing unit.
struct Addressed {
    FirmwareUnit* unit = nullptr;
    std::int64_t address = 0;
    std::string error;
};

Addressed Address(Model& model, const Request& r, int args) {
    Addressed a;
    const auto address = r.integer(0);
    if (r.argCount() != args || !address) {
        a.error = kCannotRead;
        return a;
    }
    if (VersionOf(model, *address) == nullptr) {
        a.error = kNotFound;
        return a;
    }
    a.address = *address;
    a.unit = &model.firmware.units[*address];
    return a;
}

bool FaultHits(const FirmwareFault& fault, FirmwareFault::Kind kind, std::int64_t address) {
    return fault.kind == kind && (fault.address < 0 || fault.address == address);
}

void FlipBit(std::uint8_t* cluster, int bit) {
    const int b = bit & (FirmwareUnit::kClusterSize * 8 - 1);
    cluster[b / 8] = static_cast<std::uint8_t>(cluster[b / 8] ^ (1u << (b % 8)));
}

std::string Erase(Model& model, const Request& r) {
    Addressed a = Address(model, r, 1);
    if (!a.unit) return a.error;
    FirmwareUnit& u = *a.unit;
    const bool fails = FaultHits(model.firmware.fault, FirmwareFault::Kind::EraseFails, a.address);
    if (!fails) {
        std::fill(u.flash.begin(), u.flash.end(), 0xFF);
        ++u.erases;
    }
    u.ram = FirmwareUnit::FilledRam();
    u.lastCluster.reset();
    u.imageCrc.reset();
    u.groupsStored = 0;
    u.clustersProgrammed = 0;
    return Ack("FU0", {fails ? 1 : 0, u.flash[0], u.flash[1], u.flash[2], u.flash[3]});
}

std::string StoreGroup(Model& model, const Request& r) {
    Addressed a = Address(model, r, 10);
    if (!a.unit) return a.error;
    const auto group = r.integer(1);
    if (!group || *group < 0 || *group >= kGroupsPerCluster) return kCannotRead;
    std::array<std::uint8_t, kGroupSize> bytes{};
    for (std::size_t i = 0; i < kGroupSize; ++i) {
        const auto value = r.integer(static_cast<int>(i) + 2);
        if (!value || *value < 0 || *value > 255) return kCannotRead;
        bytes[i] = static_cast<std::uint8_t>(*value);
    }
    std::copy(bytes.begin(), bytes.end(),
              a.unit->ram.begin() + static_cast<std::ptrdiff_t>(*group) * kGroupSize);
    ++a.unit->groupsStored;
    return Ack("FU1");
}

std::string CompleteCluster(Model& model, const Request& r) {
    Addressed a = Address(model, r, 1);
    return a.unit ? Ack("FU2") : a.error;
}

// Programs the RAM buffer at the flash address, which must start a cluster of the image area in
// the sector given. The RAM buffer reads 0xFF again afterwards, ready for the next cluster.
std::string ProgramCluster(Model& model, const Request& r) {
    Addressed a = Address(model, r, 3);
    if (!a.unit) return a.error;
    const auto sector = r.integer(1);
    const auto flashAddress = r.integer(2);
    if (!sector || !flashAddress) return kCannotRead;
    const std::int64_t offset = *flashAddress - kFlashBase;
    if (offset < 0 || offset >= static_cast<std::int64_t>(FirmwareUnit::kAreaSize) ||
        offset % static_cast<std::int64_t>(FirmwareUnit::kClusterSize) != 0 ||
        *sector != kFirstSector + offset / static_cast<std::int64_t>(kSectorSize))
        return kCannotRead;
    FirmwareUnit& u = *a.unit;
    const FirmwareFault& fault = model.firmware.fault;
    const int cluster = static_cast<int>(offset / static_cast<std::int64_t>(FirmwareUnit::kClusterSize));
    if (FaultHits(fault, FirmwareFault::Kind::FlipRamBit, a.address) && fault.cluster == cluster)
        FlipBit(u.ram.data(), fault.bit);
    const std::uint16_t ramCrc = UnitCrc16(u.ram);
    std::uint8_t* target = u.flash.data() + offset;
    for (std::size_t i = 0; i < FirmwareUnit::kClusterSize; ++i) target[i] &= u.ram[i];
    if (FaultHits(fault, FirmwareFault::Kind::FlipFlashBit, a.address) && fault.cluster == cluster)
        FlipBit(target, fault.bit);
    u.ram = FirmwareUnit::FilledRam();
    u.lastCluster = static_cast<std::size_t>(offset);
    ++u.clustersProgrammed;
    return Ack("FU2A", {ramCrc});
}

std::string ClusterCrc(Model& model, const Request& r) {
    Addressed a = Address(model, r, 1);
    if (!a.unit) return a.error;
    if (!a.unit->lastCluster) return kCannotRead;
    const auto cluster = std::span(a.unit->flash).subspan(*a.unit->lastCluster, FirmwareUnit::kClusterSize);
    return Ack("FU2B", {UnitCrc16(cluster)});
}

std::string ComputeImageCrc(Model& model, const Request& r) {
    Addressed a = Address(model, r, 2);
    if (!a.unit) return a.error;
    const auto length = r.integer(1);
    if (!length || *length < 1 || *length > static_cast<std::int64_t>(FirmwareUnit::kAreaSize))
        return kCannotRead;
    a.unit->imageLength = static_cast<std::uint32_t>(*length);
    a.unit->imageCrc = UnitCrc16(std::span(a.unit->flash).first(a.unit->imageLength));
    return Ack("FU3");
}

std::string ReportImageCrc(Model& model, const Request& r) {
    Addressed a = Address(model, r, 1);
    if (!a.unit) return a.error;
    if (!a.unit->imageCrc) return kCannotRead;
    return Ack("FU4", {*a.unit->imageCrc});
}

std::string Abort(Model& model, const Request& r) {
    Addressed a = Address(model, r, 1);
    if (!a.unit) return a.error;
    a.unit->imageCrc.reset();
    ++a.unit->aborts;
    return Ack("FU5");
}

// Takes over the image that "FU3" checked. The boot loader starts it only when the eight header
// words sum to zero; otherwise the unit keeps its firmware.
std::string Install(Model& model, const Request& r) {
    Addressed a = Address(model, r, 1);
    if (!a.unit) return a.error;
    FirmwareUnit& u = *a.unit;
    if (!u.imageCrc || u.imageLength < 32) return kCannotRead;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 32; i += 4)
        sum += std::uint32_t{u.flash[i]} | std::uint32_t{u.flash[i + 1]} << 8 |
               std::uint32_t{u.flash[i + 2]} << 16 | std::uint32_t{u.flash[i + 3]} << 24;
    if (sum != 0) return kCannotRead;
    u.installedVersion = ImageVersion(*u.imageCrc);
    *VersionOf(model, a.address) = u.installedVersion;
    ++u.installs;
    u.imageCrc.reset();
    return Ack("FU6");
}

}  // namespace

std::uint16_t UnitCrc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ (b << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::string ImageVersion(std::uint16_t imageCrc) {
    char text[8];
    std::snprintf(text, sizeof text, "fw-%04X", unsigned{imageCrc});
    return text;
}

std::optional<FirmwareFault> ParseFirmwareFault(std::string_view text) {
    FirmwareFault fault;
    if (const auto at = text.find('@'); at != std::string_view::npos) {
        const std::string_view address = text.substr(at + 1);
        const auto result = std::from_chars(address.data(), address.data() + address.size(), fault.address);
        if (address.empty() || result.ec != std::errc{} || result.ptr != address.data() + address.size() ||
            fault.address < 0)
            return std::nullopt;
        text = text.substr(0, at);
    }
    if (text == "erasefail") {
        fault.kind = FirmwareFault::Kind::EraseFails;
        return fault;
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view kind = text.substr(0, colon);
    if (kind == "fliprambit")
        fault.kind = FirmwareFault::Kind::FlipRamBit;
    else if (kind == "flipflashbit")
        fault.kind = FirmwareFault::Kind::FlipFlashBit;
    else
        return std::nullopt;
    const std::string_view numbers = text.substr(colon + 1);
    const char* end = numbers.data() + numbers.size();
    auto r1 = std::from_chars(numbers.data(), end, fault.cluster);
    if (r1.ec != std::errc{} || r1.ptr == end || *r1.ptr != ':') return std::nullopt;
    auto r2 = std::from_chars(r1.ptr + 1, end, fault.bit);
    if (r2.ec != std::errc{} || r2.ptr != end) return std::nullopt;
    constexpr int kClusters = static_cast<int>(FirmwareUnit::kAreaSize / FirmwareUnit::kClusterSize);
    if (fault.cluster < 0 || fault.cluster >= kClusters || fault.bit < 0 ||
        fault.bit >= static_cast<int>(FirmwareUnit::kClusterSize * 8))
        return std::nullopt;
    return fault;
}

void RegisterFirmwareCommands(CommandTable& table) {
    table.add("FU0", Erase);
    table.add("FU1", StoreGroup);
    table.add("FU2", CompleteCluster);
    table.add("FU2A", ProgramCluster);
    table.add("FU2B", ClusterCrc);
    table.add("FU3", ComputeImageCrc);
    table.add("FU4", ReportImageCrc);
    table.add("FU5", Abort);
    table.add("FU6", Install);
}

}  // namespace vm::sim
