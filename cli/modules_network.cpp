#include "cli/modules_network.h"

#include "cli/drive_module.h"

namespace vm::cli {

namespace {

constexpr int kSlots = 6;

void PrintView(Session& s, const char* fmt, std::string_view text) {
    s.print(fmt, static_cast<int>(text.size()), text.data());
}

}  // namespace

// The second token of the "SCN" reply is the map: the configuration letter, one unused character,
// then one character per slot. A shorter map (or none) leaves the missing slots empty and the
// configuration blank; nothing past the token is read.
void HandleModlist(Session& s, const Words&) {
    s.exchange("SCN\r");
    s.tokenize();
    PrintStatus(s);
    // A reply of one token has no map; slot 1 of the tokens then holds an older reply's text.
    const std::string_view map = s.tokens().count() > 1 ? s.tokens()[1] : std::string_view{};
    if (map.empty())
        s.print("Configuration:\n");
    else
        s.print("Configuration:%c\n", map[0]);
    for (int slot = 1; slot <= kSlots; ++slot) {
        s.print("SLOT %d : ", slot);
        const std::size_t at = static_cast<std::size_t>(slot) + 1;
        const char kind = at < map.size() ? map[at] : '\0';
        switch (kind) {
            case 'C':
                s.print("Vellumotor Driver Module (VMDM)\tADR:%d\n", slot);
                break;
            case 'O':
                s.print("Optical Encoder Module      (OEM )\tADR:%d\n", slot);
                break;
            case 'R':
                s.print("Resistive Sensor Module     (RSM )\tADR:%d\n", slot);
                break;
            default:
                s.print(" \n");
                break;
        }
    }
}

void HandleSUD(Session& s, const Words& w) {
    s.exchange("SUD %s\r", w.c(2));
    PrintView(s, "%.*s \n", s.tokenize()[0]);
}

// The address goes out as typed.
void HandleFIV(Session& s, const Words& w) {
    s.exchange("FIV %s\r", w.c(2));
    PrintView(s, "Firmware Version: %.*s \n", s.tokenize()[1]);
}

// The reply is shown raw, carriage return included, with no line feed after it.
void HandleIPR(Session& s, const Words&) {
    s.exchange("IPR\r");
    s.tokenize();
    PrintView(s, " -- %.*s ", s.reply());
}

}  // namespace vm::cli
