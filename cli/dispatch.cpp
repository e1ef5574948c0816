#include "cli/dispatch.h"

namespace vm::cli {

namespace {

constexpr bool kDev = true;

const Command kCommands[] = {
    {"MOV", nullptr, false},
    {"EXT", nullptr, false},
    {"SDC", nullptr, false},
    {"STP", nullptr, false},
    {"STS", nullptr, false},
    {"RFS", nullptr, false},
    {"SCM", nullptr, false},
    {"SAM", nullptr, false},
    {"FBP", nullptr, false},
    {"FBM", nullptr, false},
    {"FBS", nullptr, false},
    {"FBX", nullptr, false},
    {"DESC", nullptr, false},
    {"POS", nullptr, false},
    {"POSA", nullptr, false},
    {"RST", nullptr, false},
    {"SLD", nullptr, false},
    {"DSG", nullptr, false},
    {"DSH", nullptr, false},
    {"DSL", nullptr, false},
    {"MLS", nullptr, false},
    {"MSS", nullptr, false},
    {"OEMC", nullptr, false},
    {"CAL", nullptr, kDev},
    {"CAS", nullptr, kDev},
    {"CCT", nullptr, kDev},
    {"CRP", nullptr, kDev},
    {"CCU", nullptr, false},
    {"CCD", nullptr, false},
    {"CSH", nullptr, false},
    {"PGV", nullptr, false},
    {"PGVA", nullptr, false},
    {"EXS", nullptr, false},
    {"EXR", nullptr, false},
    {"MIS", nullptr, false},
    {"MAS", nullptr, false},
    {"MIR", nullptr, false},
    {"MAR", nullptr, false},
    {"MMR", nullptr, false},
    {"SKS", nullptr, kDev},
    {"SKR", nullptr, kDev},
    {"HFM", nullptr, false},
    {"RSS", nullptr, false},
    {"INF", nullptr, false},
    {"INFO", nullptr, false},
    {"FBEN", nullptr, false},
    {"FBENX", nullptr, false},
    {"FBCS", nullptr, false},
    {"FBST", nullptr, false},
    {"FBXT", nullptr, false},
    {"FBFE", nullptr, false},
    {"FBES", nullptr, false},
    {"FU", nullptr, false},
    {"IPR", nullptr, false},
    {"SUD", nullptr, false},
    {"FIV", nullptr, false},
    {"modlist", nullptr, false},
};

}  // namespace

std::span<const Command> Commands() { return kCommands; }

const Command* FindCommand(std::string_view word) {
    for (const Command& c : kCommands)
        if (c.word == word) return &c;
    return nullptr;
}

bool Dispatch(Session& session, const Words& words) {
    const Command* command = FindCommand(words.command());
    if (command == nullptr || command->handler == nullptr) return false;
    if (command->developmentOnly && !session.developmentMode()) return false;
    command->handler(session, words);
    return true;
}

}  // namespace vm::cli
