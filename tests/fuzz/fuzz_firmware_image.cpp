// The firmware update on arbitrary image files, handed in through the opener hook. Input: byte 0
// holds flags, byte 1 the read chunk size, byte 2 the unit address, byte 3 a length in KiB;
// the rest is the file. Flags: bits 0-1 the size the file reports (0 its real size, 1 more than
// it holds, 2 less, 3 far more), bit 2 stretches the file to the KiB length by repeating it (to
// reach full clusters and the size limit), bit 3 makes the unit report a wrong image CRC.
// The link plays a unit that checks what was streamed: it answers FU4 with the CRC of the bytes
// it received in FU1 lines, so both the take-over and the refusal are reached.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console.h"
#include "cli/firmware_update.h"
#include "cli/tokens.h"
#include "link/clock.h"
#include "link/link_settings.h"

namespace {

class FuzzImageFile final : public vm::cli::ImageFile {
  public:
    FuzzImageFile(std::vector<std::uint8_t> bytes, std::int64_t reported, std::size_t chunk)
        : bytes_(std::move(bytes)), reported_(reported), chunk_(chunk) {}
    std::int64_t size() const override { return reported_; }
    std::size_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n = std::min({buffer.size(), chunk_, bytes_.size() - position_});
        std::copy_n(bytes_.data() + position_, n, buffer.data());
        position_ += n;
        return n;
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::int64_t reported_;
    std::size_t chunk_;
    std::size_t position_ = 0;
};

// Answers every step of the update and keeps the bytes of the FU1 lines.
class UnitLink final : public vm::COM_METHOD {
  public:
    UnitLink(const vm::LinkContext& context, bool wrongCrc) : COM_METHOD(context), wrongCrc_(wrongCrc) {}
    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int ListDevices() override { return 1; }
    int Exchange() override {
        // An image below the size limit takes at most 16384 FU1 lines and a few per cluster.
        if (++exchanges_ > 20000) {
            std::fprintf(stderr, "runaway: %zu exchanges for one image\n", exchanges_);
            std::abort();
        }
        const std::string_view line = command().view();
        tokens_.Tokenize(line.substr(0, line.find('\r')));
        if (tokens_.is(0, "FU1")) {
            for (std::size_t k = 3; k < 11; ++k)
                streamed_.push_back(static_cast<std::uint8_t>(tokens_.integer(k)));
            reply().assign("_FU1\r");
        } else if (tokens_.is(0, "FU0")) {
            reply().assign("_FU0 0 255 255 255 255\r");
        } else if (tokens_.is(0, "FU4")) {
            const unsigned crc = vm::cli::Crc16Xmodem(streamed_) ^ (wrongCrc_ ? 1u : 0u);
            reply().assign("_FU4 " + std::to_string(crc) + "\r");
        } else {
            reply().assign("_" + std::string(tokens_[0]) + " 0\r");
        }
        return 0;
    }

  private:
    bool wrongCrc_;
    vm::cli::Tokens tokens_;
    std::vector<std::uint8_t> streamed_;
    std::size_t exchanges_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t flags = data[0];
    const std::size_t chunk = std::size_t{data[1]} * 64 + 1;
    const int address = data[2] % 20 - 2;  // -2 to 17: every unit kind and addresses that name none
    std::vector<std::uint8_t> bytes(data + 4, data + size);
    if ((flags & 4) && !bytes.empty()) {
        const std::size_t length = std::size_t{data[3]} * 1024;
        for (std::size_t i = bytes.size(); i < length; ++i) bytes.push_back(bytes[i % (size - 4)]);
    }
    const auto real = static_cast<std::int64_t>(bytes.size());
    const std::int64_t reported[] = {real, real + 1 + data[3], real / 2, std::int64_t{1} << 40};
    auto file = std::make_unique<FuzzImageFile>(std::move(bytes), reported[flags & 3], chunk);

    vm::VirtualClock clock;
    vm::cli::ScriptedConsole console;
    vm::StringTextOut linkOut;
    const vm::LinkContext context{vm::LinkSettings::commandLine(), clock, linkOut};
    UnitLink link(context, flags & 8);
    vm::cli::Session session(console, clock);
    session.bind(&link, true);
    console.addKeys("y");
    const vm::cli::Words words({"vmcli", "FU", std::to_string(address), "image.bin"});
    vm::cli::RunFirmwareUpdate(session, words, [&](const char*) { return std::move(file); });
    return 0;
}
