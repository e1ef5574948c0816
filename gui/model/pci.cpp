#include "gui/model/pci.h"

#include <algorithm>
#include <string_view>

namespace vm::gui {

namespace {
constexpr bool kFailure = true;
constexpr bool kSuccess = false;

auto NoLinkFails() {
    return [] { return kFailure; };
}

template <std::size_t N>
void CopyBytes(const StringParser& tokens, std::array<std::uint8_t, N>& out) {
    for (std::size_t k = 0; k < N; ++k) out[k] = static_cast<std::uint8_t>(tokens.replyInteger(k + 1));
}

bool BreaksLine(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }
}  // namespace

void FixEncoderMap(ModuleMap& map) {
    if (map[2] == 13) {
        map[0] = 11;
        map[1] = 12;
    }
    if (map[1] == 12) map[0] = 11;
}

bool PCI::ReadModuleMap() {
    return link_.run(
        [&](Transaction& t) {
            // A failed exchange counts as an empty reply, so its map reads as no modules.
            ModuleMap drives{};
            ModuleMap encoders{};
            const bool drivesFailed = t.exchange("GCM \r");
            CopyBytes(t.tokens(), drives);
            const bool encodersFailed = t.exchange("GOM \r");
            CopyBytes(t.tokens(), encoders);
            FixEncoderMap(encoders);
            auto fields = link_.fieldsLock();
            driveModules_ = drives;
            encoderModules_ = encoders;
            return drivesFailed || encodersFailed ? kFailure : kSuccess;
        },
        [&] {
            auto fields = link_.fieldsLock();
            driveModules_.fill(0);
            encoderModules_.fill(0);
            return kFailure;
        });
}

bool PCI::HasDriveModule(std::uint8_t a) const {
    auto lock = link_.fieldsLock();
    return std::find(driveModules_.begin(), driveModules_.end(), a) != driveModules_.end();
}

bool PCI::HasEncoderModule(std::uint8_t m) const {
    auto lock = link_.fieldsLock();
    const auto address = static_cast<std::uint8_t>(m + 10);
    return std::find(encoderModules_.begin(), encoderModules_.end(), address) != encoderModules_.end();
}

bool PCI::ScanSlots() {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("SCN\r");
            if (!t.tokens().is(0, "_SCN")) return kFailure;
            const std::string_view word = t.tokens().replyToken(1);
            SlotKinds kinds{};
            for (std::size_t s = 0; s < kinds.size(); ++s) {
                const char letter = s + 2 < word.size() ? word[s + 2] : ' ';
                kinds[s] = letter == 'C'   ? SlotKind::Drive
                           : letter == 'O' ? SlotKind::Encoder
                           : letter == 'R' ? SlotKind::Sensor
                                           : SlotKind::Empty;
            }
            auto fields = link_.fieldsLock();
            configuration_ = word.empty() ? '\0' : word[0];
            slotKinds_ = kinds;
            return kSuccess;
        },
        NoLinkFails());
}

bool PCI::LoadChannel(std::uint8_t m, std::uint8_t c) {
    const int index = 3 * m + c - 3;
    if (index < static_cast<int>(kFirstChannelIndex) || index > static_cast<int>(kLastChannelIndex))
        return kFailure;
    return link_.run(
        [&](Transaction& t) {
            t.exchange("CLS %u\r", static_cast<unsigned>(index));
            const StringParser& tokens = t.tokens();
            if (!tokens.is(0, "_CLS")) return kFailure;
            auto fields = link_.fieldsLock();
            ChannelRecord& r = channelRecord_;
            r.frequency = static_cast<std::uint16_t>(tokens.replyInteger(2));
            r.stepSize = static_cast<std::uint16_t>(tokens.replyInteger(3));
            r.temperature = static_cast<std::uint16_t>(tokens.replyInteger(4));
            r.paramB = static_cast<std::uint16_t>(tokens.replyInteger(5));
            r.paramA = static_cast<std::uint16_t>(tokens.replyInteger(6));
            r.type.assign(tokens.replyToken(7));
            r.tag.assign(tokens.replyToken(8));
            r.invertFlag = static_cast<std::uint16_t>(tokens.replyInteger(9));
            return kSuccess;
        },
        NoLinkFails());
}

bool PCI::StoreChannel(unsigned index) {
    return link_.run(
        [&](Transaction& t) {
            const ChannelRecord r = channelRecord();
            if (BreaksLine(r.type.view()) || BreaksLine(r.tag.view())) return kFailure;
            t.exchange("CSS %u %u %u %u %u %u %s %s %u\r", index, unsigned{r.frequency}, unsigned{r.stepSize},
                       unsigned{r.temperature}, unsigned{r.paramB}, unsigned{r.paramA}, r.type.c_str(),
                       r.tag.c_str(), unsigned{r.invertFlag});
            return t.tokens().is(0, "_CSS") ? kSuccess : kFailure;
        },
        NoLinkFails());
}

bool PCI::CommitChannels() {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("STF\r");
            return t.tokens().is(0, "_STF") ? kSuccess : kFailure;
        },
        NoLinkFails());
}

bool PCI::ReadNetwork() {
    constexpr bool kRead = true;
    constexpr bool kNotRead = false;
    return link_.run(
        [&](Transaction& t) {
            t.exchange("IPR\r");
            if (!t.tokens().is(0, "_IPR")) return kNotRead;
            auto fields = link_.fieldsLock();
            CopyBytes(t.tokens(), networkSettings_);
            return kRead;
        },
        [] { return kNotRead; });
}

bool PCI::WriteNetwork() {
    return link_.run(
        [&](Transaction& t) {
            const NetworkSettings n = networkSettings();
            const bool failed = t.exchange("IPS %u %u %u %u %u %u %u %u %u %u %u %u %u\r", unsigned{n[0]},
                                           unsigned{n[1]}, unsigned{n[2]}, unsigned{n[3]}, unsigned{n[4]},
                                           unsigned{n[5]}, unsigned{n[6]}, unsigned{n[7]}, unsigned{n[8]},
                                           unsigned{n[9]}, unsigned{n[10]}, unsigned{n[11]}, unsigned{n[12]});
            return failed ? kFailure : kSuccess;
        },
        NoLinkFails());
}

ChannelRecord PCI::channelRecord() const {
    auto lock = link_.fieldsLock();
    return channelRecord_;
}

void PCI::setChannelRecord(const ChannelRecord& record) {
    auto lock = link_.fieldsLock();
    channelRecord_ = record;
}

char PCI::configuration() const {
    auto lock = link_.fieldsLock();
    return configuration_;
}

SlotKinds PCI::slotKinds() const {
    auto lock = link_.fieldsLock();
    return slotKinds_;
}

ModuleMap PCI::driveModules() const {
    auto lock = link_.fieldsLock();
    return driveModules_;
}

ModuleMap PCI::encoderModules() const {
    auto lock = link_.fieldsLock();
    return encoderModules_;
}

NetworkSettings PCI::networkSettings() const {
    auto lock = link_.fieldsLock();
    return networkSettings_;
}

void PCI::setNetworkSettings(const NetworkSettings& settings) {
    auto lock = link_.fieldsLock();
    networkSettings_ = settings;
}

}  // namespace vm::gui
