#pragma once
// The controller front end: which modules are installed, the user memory of 18 channel records
// and the network settings.
#include <array>
#include <cstdint>

#include "gui/model/current_link.h"
#include "link/fixed_text.h"

namespace vm::gui {

// One channel of the user memory, as "CLS" reads it and "CSS" stores it.
struct ChannelRecord {
    std::uint16_t frequency = 0;    // Hz
    std::uint16_t stepSize = 0;     // %
    std::uint16_t temperature = 0;  // K
    std::uint16_t paramB = 0;
    std::uint16_t paramA = 0;
    std::uint16_t invertFlag = 0;
    FixedText<9> type;  // actuator type name, at most 8 characters
    FixedText<9> tag;   // the user's label, at most 8 characters
};

// In reply order: address mode, IP address, subnet mask, gateway (octets most significant first).
using NetworkSettings = std::array<std::uint8_t, 13>;
using ModuleMap = std::array<std::uint8_t, 6>;

// What "SCN" reports for a slot.
enum class SlotKind : std::uint8_t { Empty, Drive, Encoder, Sensor };
using SlotKinds = std::array<SlotKind, 6>;

class PCI {
  public:
    static constexpr unsigned kFirstChannelIndex = 1;
    static constexpr unsigned kLastChannelIndex = 18;

    explicit PCI(CurrentLink& link) : link_(link) {}

    // Reads the drive-module map ("GCM ") and the encoder-module map ("GOM "), then fixes up the
    // encoder map. The reply words are not judged; entries a reply lacks, and every entry of a
    // failed exchange, read 0. Fails only when an exchange failed. Without a current link both
    // maps are cleared, so a scan finds no module.
    bool ReadModuleMap();
    bool HasDriveModule(std::uint8_t a) const;
    // True when the encoder module serving drive slot m (address m + 10) is in the map.
    bool HasEncoderModule(std::uint8_t m) const;

    // Reads the controller's configuration letter and the kind of module in every slot ("SCN\r").
    // Token 1 of the "_SCN" reply is the letter, one unused character, then one letter per slot:
    // 'C' drive, 'O' encoder, 'R' sensor, anything else (or nothing, past the word's end) empty.
    // Fails on any other reply and keeps the fields then.
    bool ScanSlots();

    // Reads user-memory channel 3m + c - 3 into the channel record. An index outside 1 to 18 is
    // refused without sending anything.
    bool LoadChannel(std::uint8_t m, std::uint8_t c);
    // Stores the channel record at the index. A type or tag holding a carriage return or line
    // feed is refused without sending: it would end the command line early and send the rest as a
    // second command.
    bool StoreChannel(unsigned index);
    bool CommitChannels();

    // Returns true when the settings were read, false otherwise (the opposite sense of the other
    // operations).
    bool ReadNetwork();
    // Sends the network settings; the reply is not judged, only a failed exchange fails.
    bool WriteNetwork();

    // Copies taken and set under the lock.
    ChannelRecord channelRecord() const;
    void setChannelRecord(const ChannelRecord& record);
    char configuration() const;
    SlotKinds slotKinds() const;
    ModuleMap driveModules() const;
    ModuleMap encoderModules() const;
    NetworkSettings networkSettings() const;
    void setNetworkSettings(const NetworkSettings& settings);

  private:
    CurrentLink& link_;
    ChannelRecord channelRecord_;
    char configuration_ = 0;
    SlotKinds slotKinds_{};
    ModuleMap driveModules_{};
    ModuleMap encoderModules_{};
    NetworkSettings networkSettings_{};
};

// The encoder-map fix-up after "GOM": a third entry of 13 makes the first two 11 and 12; then a
// second entry of 12 makes the first 11.
void FixEncoderMap(ModuleMap& map);

}  // namespace vm::gui
