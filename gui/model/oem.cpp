#include "gui/model/oem.h"

#include <string>

namespace vm::gui {

namespace {
constexpr bool kFailure = true;
constexpr bool kSuccess = false;
constexpr unsigned kEncoderAddressOffset = 10;

unsigned EncoderAddress(std::uint8_t m) { return m + kEncoderAddressOffset; }
auto NoLinkFails() {
    return [] { return kFailure; };
}
bool IsAckOf(const StringParser& tokens, const char* word) { return tokens.is(0, std::string("_") + word); }
}  // namespace

bool OEM::simple(const char* word, std::uint8_t m, std::uint8_t c) {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("%s %u %u\r", word, EncoderAddress(m), unsigned{c});
            return IsAckOf(t.tokens(), word) ? kSuccess : kFailure;
        },
        NoLinkFails());
}

bool OEM::withValue(const char* word, std::uint8_t m, std::uint8_t c, std::uint8_t value) {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("%s %u %u %u\r", word, EncoderAddress(m), unsigned{c}, unsigned{value});
            return IsAckOf(t.tokens(), word) ? kSuccess : kFailure;
        },
        NoLinkFails());
}

bool OEM::GetCounter(std::uint8_t m, std::uint8_t c) {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("CGV %u %u\r", EncoderAddress(m), unsigned{c});
            if (!t.tokens().is(0, "_CGV")) return kFailure;
            auto fields = link_.fieldsLock();
            count_ = static_cast<std::int32_t>(std::int64_t{t.tokens().replyInteger(1)} - kCounterOffset);
            analog_ = t.tokens().replyInteger(2);
            return kSuccess;
        },
        NoLinkFails());
}

bool OEM::CountUp(std::uint8_t m, std::uint8_t c) { return simple("CCU", m, c); }
bool OEM::CountDown(std::uint8_t m, std::uint8_t c) { return simple("CCD", m, c); }
bool OEM::HoldCounter(std::uint8_t m, std::uint8_t c) { return simple("CSH", m, c); }
bool OEM::ZeroCounter(std::uint8_t m, std::uint8_t c) { return simple("CSZ", m, c); }
bool OEM::SetHigh(std::uint8_t m, std::uint8_t c, std::uint8_t value) {
    return withValue("DSH", m, c, value);
}
bool OEM::SetLow(std::uint8_t m, std::uint8_t c, std::uint8_t value) { return withValue("DSL", m, c, value); }
bool OEM::SetGain(std::uint8_t m, std::uint8_t c, std::uint8_t value) {
    return withValue("DSG", m, c, value);
}
bool OEM::StoreDetector(std::uint8_t m, std::uint8_t c) { return simple("MSS", m, c); }

bool OEM::ReadDetector(std::uint8_t m, std::uint8_t c) {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("MLS %u %u\r", EncoderAddress(m), unsigned{c});
            if (!t.tokens().is(0, "_MLS")) return kFailure;
            auto fields = link_.fieldsLock();
            gain_ = static_cast<std::uint8_t>(t.tokens().replyInteger(1));
            high_ = static_cast<std::uint8_t>(t.tokens().replyInteger(2));
            low_ = static_cast<std::uint8_t>(t.tokens().replyInteger(3));
            return kSuccess;
        },
        NoLinkFails());
}

std::int32_t OEM::count() const {
    auto lock = link_.fieldsLock();
    return count_;
}

std::int32_t OEM::analog() const {
    auto lock = link_.fieldsLock();
    return analog_;
}

std::uint8_t OEM::high() const {
    auto lock = link_.fieldsLock();
    return high_;
}

std::uint8_t OEM::low() const {
    auto lock = link_.fieldsLock();
    return low_;
}

std::uint8_t OEM::gain() const {
    auto lock = link_.fieldsLock();
    return gain_;
}

}  // namespace vm::gui
