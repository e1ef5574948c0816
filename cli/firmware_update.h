#pragma once
// FU: reprograms one unit of the controller (front end, drive module, encoder or sensor module)
// from an image file. The image is prepared on the host (boot-loader checksum, 8-byte padding,
// size limit, CRC), streamed in 8-byte groups, programmed cluster by cluster, and taken over by
// the unit only when the CRC of the programmed image matches the host's.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

inline constexpr std::size_t kFirmwareHeaderSize = 32;     // eight little-endian words w0 to w7
inline constexpr std::size_t kFirmwareClusterSize = 4096;  // one flash write: 512 groups of 8 bytes
inline constexpr std::size_t kFirmwareGroupSize = 8;
inline constexpr std::size_t kFirmwareImageLimit = 131072;  // the padded image must stay below this
inline constexpr std::uint32_t kFirmwareFlashBase = 0x20000;
inline constexpr int kFirmwareFirstSector = 11;
inline constexpr std::size_t kFirmwareSectorSize = 32768;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, most significant bit first, no reflection,
// no final XOR. Pass the previous result as crc to continue over more bytes.
std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0);

// An image file opened for reading.
class ImageFile {
  public:
    virtual ~ImageFile() = default;
    // The size the file system reports.
    virtual std::int64_t size() const = 0;
    // Reads up to buffer.size() bytes; returns how many, 0 at the end of the file or on an error.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
};

// Opens a regular file for reading, or gives nullptr. Anything else (a directory, a FIFO, a
// device) is refused without blocking, so a wrong name cannot hang the tool or stream endless data.
std::unique_ptr<ImageFile> OpenImageFile(const char* path);

using ImageOpener = std::function<std::unique_ptr<ImageFile>(const char* path)>;

// FU ADDR FILENAME
void HandleFU(Session& s, const Words& w);
// The same with the file opened through the given opener (tests hand in files that fail).
void RunFirmwareUpdate(Session& s, const Words& w, const ImageOpener& open);

}  // namespace vm::cli
