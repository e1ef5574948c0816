#pragma once
// Everything a command handler may touch: the bound link operations and their buffers, the reply
// tokens, the console, the clock, the development-mode flag and the process-wide values that the
// commands share (stage drive records, calibration sample tables).
#include <array>
#include <cstdint>
#include <string_view>

#include "cli/console.h"
#include "cli/profiles.h"
#include "cli/tokens.h"
#include "cli/words.h"
#include "link/clock.h"
#include "link/com_method.h"

namespace vm::cli {

// Process-wide values owned by the entry point for one run.
struct CliState {
    static constexpr std::size_t kSampleTableSize = 400;
    // Calibration samples of the high and low signal levels (sample i of block b at 8 * b + i)
    // and how many of each the module reported, each limited to the table size.
    std::array<std::uint8_t, kSampleTableSize> highSamples{};
    std::array<std::uint8_t, kSampleTableSize> lowSamples{};
    std::uint32_t highCount = 0;
    std::uint32_t lowCount = 0;
    // The three stage drive records: commands with one stage word fill the first.
    std::array<StageDriveRecord, 3> stages{};
    // Encoder calibration settings: a measurement run ends at this many pulses or after this many
    // seconds. The long form of OEMC sets them; the short form uses what is set.
    std::uint32_t requestedPulses = 100;
    std::int32_t timeoutSeconds = 10;
};

class Session {
public:
    Session(Console& console, Clock& clock, bool developmentMode = false)
        : console_(console), clock_(clock), developmentMode_(developmentMode) {}

    // Binds exchange and close to a link, and list devices when listing is true (the USB links).
    void bind(COM_METHOD* link, bool listing) {
        exchangeLink_ = closeLink_ = link;
        listLink_ = listing ? link : nullptr;
    }
    // The pipe server and monitor rebind only the exchange to the real link.
    void bindExchange(COM_METHOD* link) { exchangeLink_ = link; }
    void bindClose(COM_METHOD* link) { closeLink_ = link; }
    COM_METHOD* exchangeLink() const { return exchangeLink_; }
    bool listingBound() const { return listLink_ != nullptr; }

    // Formats a command line into the bound link's command buffer and exchanges it. Returns the
    // link's result, or 1 when no link is bound.
    int exchange(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Exchanges whatever the command buffer holds now (a resend without formatting again).
    int exchangeAgain();
    void close();
    int listDevices();

    // The raw reply buffer (empty when no link is bound).
    std::string_view reply() const;
    bool replyIs(std::string_view text) const { return reply() == text; }
    bool replyIsAnyOf(std::initializer_list<std::string_view> texts) const;
    // Tokenizes the reply buffer into the reply tokens and returns them.
    Tokens& tokenize();
    Tokens& tokens() { return tokens_; }

    Console& console() { return console_; }
    void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void message(int code) const;
    Clock& clock() { return clock_; }
    void sleepMs(std::uint32_t ms) { clock_.sleepMs(ms); }

    bool developmentMode() const { return developmentMode_; }
    void setDevelopmentMode(bool on) { developmentMode_ = on; }
    // Upper bound of FREQ for MOV and EXT.
    int maxDriveFrequency() const { return MaxDriveFrequency(developmentMode_); }

    CliState& state() { return state_; }

private:
    Console& console_;
    Clock& clock_;
    bool developmentMode_;
    COM_METHOD* exchangeLink_ = nullptr;
    COM_METHOD* closeLink_ = nullptr;
    COM_METHOD* listLink_ = nullptr;
    Tokens tokens_;
    CliState state_;
};

}  // namespace vm::cli
