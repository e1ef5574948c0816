#include "cli/dispatch.h"

#include "cli/closed_loop.h"
#include "cli/drive_module.h"
#include "cli/encoder_calibration.h"
#include "cli/encoder_module.h"
#include "cli/firmware_update.h"
#include "cli/modules_network.h"
#include "cli/sensor_module.h"

namespace vm::cli {

namespace {

constexpr bool kDev = true;

// The tool runs these with their reporting flag set, so each ends with its status line.
void ReportingMOV(Session& s, const Words& w) { HandleMOV(s, w, true); }
void ReportingEXT(Session& s, const Words& w) { HandleEXT(s, w, true); }
void ReportingSDC(Session& s, const Words& w) { HandleSDC(s, w, true); }
void ReportingSTP(Session& s, const Words& w) { HandleSTP(s, w, true); }

const Command kCommands[] = {
    {"MOV", ReportingMOV, false},
    {"EXT", ReportingEXT, false},
    {"SDC", ReportingSDC, false},
    {"STP", ReportingSTP, false},
    {"STS", HandleSTS, false},
    {"RFS", HandleRFS, false},
    {"SCM", HandleSCM, false},
    {"SAM", HandleSAM, false},
    {"FBP", HandleFBP, false},
    {"FBM", HandleFBM, false},
    {"FBS", HandleFBS, false},
    {"FBX", HandleFBX, false},
    {"DESC", HandleDESC, false},
    {"POS", HandlePOS, false},
    {"POSA", HandlePOSA, false},
    {"RST", HandleRST, false},
    {"SLD", HandleSLD, false},
    {"DSG", HandleDSG, false},
    {"DSH", HandleDSH, false},
    {"DSL", HandleDSL, false},
    {"MLS", HandleMLS, false},
    {"MSS", HandleMSS, false},
    {"OEMC", HandleOEMC, false},
    {"CAL", HandleCAL, kDev},
    {"CAS", HandleCAS, kDev},
    {"CCT", HandleCCT, kDev},
    {"CRP", HandleCRP, kDev},
    {"CCU", HandleCCU, false},
    {"CCD", HandleCCD, false},
    {"CSH", HandleCSH, false},
    {"PGV", HandlePGV, false},
    {"PGVA", HandlePGVA, false},
    {"EXS", HandleEXS, false},
    {"EXR", HandleEXR, false},
    {"MIS", HandleMIS, false},
    {"MAS", HandleMAS, false},
    {"MIR", HandleMIR, false},
    {"MAR", HandleMAR, false},
    {"MMR", HandleMMR, false},
    {"SKS", HandleSKS, kDev},
    {"SKR", HandleSKR, kDev},
    {"HFM", HandleHFM, false},
    {"RSS", HandleRSS, false},
    {"INF", HandleINF, false},
    {"INFO", HandleINFO, false},
    {"FBEN", HandleFBEN, false},
    {"FBENX", HandleFBENX, false},
    {"FBCS", HandleFBCS, false},
    {"FBST", HandleFBST, false},
    {"FBXT", HandleFBXT, false},
    {"FBFE", HandleFBFE, false},
    {"FBES", HandleFBES, false},
    {"FU", HandleFU, false},
    {"IPR", HandleIPR, false},
    {"SUD", HandleSUD, false},
    {"FIV", HandleFIV, false},
    {"modlist", HandleModlist, false},
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
