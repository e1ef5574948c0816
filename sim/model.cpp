#include "sim/model.h"

#include <charconv>

namespace vm::sim {

Model::Model(const RackConfig& rackConfig) : rack(rackConfig) {
    for (int i = 0; i < RackConfig::kSlots; ++i) {
        slots[i].kind = rack.slots[i].kind;
        slots[i].drive.channels = rack.slots[i].channels == 1 ? 1 : 3;
    }
    front.flash = front.memory;
    for (const ChannelSignal& setting : rack.signals) {
        Slot* encoder = slot(setting.slot, ModuleKind::Encoder);
        if (encoder == nullptr || setting.channel < 1 || setting.channel > 3) continue;
        EncoderChannel& ch = encoder->encoder.channel[static_cast<std::size_t>(setting.channel - 1)];
        ch.signalHigh = setting.signal.high;
        ch.signalLow = setting.signal.low;
    }
}

Slot* Model::slot(std::int64_t number, ModuleKind kind) {
    if (number < 1 || number > RackConfig::kSlots) return nullptr;
    Slot& s = slots[static_cast<std::size_t>(number - 1)];
    return s.kind == kind ? &s : nullptr;
}

void Model::advance(std::int64_t now) {
    if (now < nowUs) now = nowUs;  // the clock never runs backwards for the model
    for (int s = 0; s < RackConfig::kSlots; ++s) {
        if (slots[s].kind != ModuleKind::Drive) continue;
        // The encoder module that serves a drive module sits in the next slot.
        EncoderModule* encoder = s + 1 < RackConfig::kSlots && slots[s + 1].kind == ModuleKind::Encoder
                                     ? &slots[s + 1].encoder
                                     : nullptr;
        for (int c = 0; c < 3; ++c) {
            DriveChannel& ch = slots[s].drive.channel[c];
            if (ch.mode != DriveChannel::Mode::Stepping) continue;
            // Whole seconds and the rest apart, so long runs at a high speed factor cannot overflow.
            const std::int64_t elapsed = now - ch.startUs;
            std::int64_t total =
                elapsed / 1'000'000 * ch.frequency + elapsed % 1'000'000 * ch.frequency / 1'000'000;
            if (ch.steps > 0 && total > ch.steps) total = ch.steps;
            const std::int64_t delta = total - ch.stepsDone;
            ch.stepsDone = total;
            ch.totalSteps += ch.direction == 1 ? delta : -delta;
            ch.travelledSteps += delta;
            if (encoder != nullptr) {
                EncoderChannel& counter = encoder->channel[c];
                const std::int64_t pulses = delta * rack.pulsesPerStep;
                if (counter.count == EncoderChannel::Count::Up) counter.counter += pulses;
                if (counter.count == EncoderChannel::Count::Down) counter.counter -= pulses;
            }
            if (ch.steps > 0 && ch.stepsDone >= ch.steps) ch.mode = DriveChannel::Mode::Idle;
        }
    }
    closedLoop.advance(now);
    nowUs = now;
}

Request::Request(std::string_view line) : line_(line) {
    // The line ends at its first carriage return; anything after it is not part of the command.
    if (const auto cr = line.find('\r'); cr != std::string_view::npos) line = line.substr(0, cr);
    std::size_t pos = 0;
    while (pos < line.size()) {
        const auto start = line.find_first_not_of(' ', pos);
        if (start == std::string_view::npos) break;
        auto end = line.find(' ', start);
        if (end == std::string_view::npos) end = line.size();
        words_.emplace_back(line.substr(start, end - start));
        pos = end;
    }
}

const std::string& Request::arg(int i) const {
    const auto index = static_cast<std::size_t>(i) + 1;
    return i >= 0 && index < words_.size() ? words_[index] : empty_;
}

std::optional<std::int64_t> Request::integer(int i) const {
    std::string_view text = arg(i);
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (result.ec != std::errc{} || result.ptr != end) return std::nullopt;
    return value;
}

bool Request::endsWith(std::string_view suffix) const { return words_.size() > 1 && words_.back() == suffix; }

std::string Ack(std::string_view word) { return "_" + std::string(word) + "\r"; }

std::string Ack(std::string_view word, const std::vector<std::int64_t>& values) {
    std::string reply = "_" + std::string(word);
    for (const auto value : values) reply += " " + std::to_string(value);
    return reply + "\r";
}

const CommandTable::Handler* CommandTable::find(const std::string& word) const {
    const auto it = handlers_.find(word);
    return it == handlers_.end() ? nullptr : &it->second;
}

std::vector<std::string> CommandTable::words() const {
    std::vector<std::string> all;
    for (const auto& [word, handler] : handlers_) all.push_back(word);
    return all;
}

}  // namespace vm::sim
