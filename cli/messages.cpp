#include "cli/messages.h"

#include <string_view>

#include "cli/profiles.h"

namespace vm::cli {

namespace {

struct Message {
    int code;
    std::string_view text;
};

// Texts as printed (a "%%" of the printf formats is already a single "%" here).
constexpr Message kMessages[] = {
    {103, "err 1.3: Error in statement. Please check your input.\n"},
    {104, "err 1.4: Stage name invalid\n"},
    {105, "err 1.5: This stage requires the axis to be defined (STAGE.AXIS).\n"},
    {203, "ERROR: DEVICE NOT FOUND\n"},
    {301, "err 3.1 - arguments should be: \nMOV [ADDR] [STAGE] [TEMP] [DIR] [FREQ] [REL] [STEPS] [TRQFR]\n"},
    {302, "err 3.02 - arguments should be: STP [ADDR]\n"},
    {303, "err 3.03 - arguments should be: STS [ADDR]\n"},
    {304, "err 3.04 - arguments should be: EXT [ADDR] [STAGE] [TEMP] [DIR] [FREQ] [REL] [TRQFR]\n"},
    {305, "err 3.05 - arguments should be: SCM [ADDR] \n"},
    {306, "err 3.06 - arguments should be: SAM [ADDR] \n"},
    {307, "err 3.07 - arguments should be: RFS [ADDR]\n"},
    {308, "err 3.08 - arguments should be: FBP [ADDR] [STAGE] [TEMP] [TRQFR] \n"},
    {309, "err 3.09 - arguments should be: FBM [ADDR] [DIR] [FREQ]\n"},
    {310, "err 3.10 - arguments should be: FBS [ADDR] \n"},
    {311, "err 3.11 - arguments should be: FBX [ADDR] \n"},
    {312, "warning (3.12) : requested torque not available\n"},
    {315, "err 3.15 - arguments should be: DESC [ADDR] \n"},
    {316, "err 3.16 - arguments should be: SDC [ADDR] [VALUE]\n"},
    {401, "err 4.01 - arguments should be: POS [ADDR] [CH]\n"},
    {402, "err 4.02 - arguments should be: RST [ADDR] [CH]\n"},
    {403, "err 4.03 - arguments should be: SLD [ADDR] [DC]\n"},
    {404,
     "err 4.04 - arguments should be: OEMC [ADDR] [CH] [STAGE] [TEMP] [DIR] [FREQ] [REQ PULSES] [TIMEOUT]\n"},
    {405, "err 4.05 - arguments should be: DSG/DSH/DSL [ADDR] [CH] [VALUE]\n"},
    {406, "err 4.06 - arguments should be: MLS/MSS [ADDR] [CH]\n"},
    {407, "err 4.07 - arguments should be: CAL [ADDR] [CH]\n"},
    {408, "err 4.08 - arguments should be: CAS [ADDR]\n"},
    {409, "err 4.09 - arguments should be: CCT [ADDR]\n"},
    {410, "err 4.10 - arguments should be: CRP [ADDR]\n"},
    {411, "err 4.11 - arguments should be: CCU [ADDR] [CH]\n"},
    {412, "err 4.12 - arguments should be: CCD [ADDR] [CH]\n"},
    {413, "err 4.13 - arguments should be: CSH [ADDR] [CH]\n"},
    {414, "err 4.14 - arguments should be: POSA [ADDR]\n"},
    {501, "err 5.01 - arguments should be: INFO [ADDR] [CH]\n"},
    {503, "err 5.03 - arguments should be: FBXT\n"},
    {504, "err 5.04 - arguments should be: FBCS [SP1] [ABS] [SP2] [ABS] [SP3] [ABS]\n"},
    {505, "err 5.05 - arguments should be: FBFE [DIR] [FILTER] [ZERO]\n"},
    {506, "err 5.06 - arguments should be: FBES\n"},
    {507, "err 5.07 - arguments should be: FBST\n"},
    {508, "err 5.08 - arguments should be: modlist\n"},
    {509, "err 5.09 - arguments should be: FU [ADDR] [FILENAME]\n"},
    {510, "err 5.10 - arguments should be: FIV [ADDR]\n"},
    {511, "err 5.11 - arguments should be: SUD [DESCRIPTOR]\n"},
    {512, "err 5.12 - arguments should be: IPR\n"},
    {513,
     "err 5.13 - arguments should be: FBEN [STAGE] [TOL] [CLEAR] [STAGE] [TOL] [CLEAR] [STAGE] [TOL] [CLEAR] "
     "[TEMP] [TRQFR]\n"},
    {601, "err 6.01 - arguments should be: PGV [ADDR] [CH] [STAGE]\n"},
    {602, "err 6.02 - arguments should be: PGVA [ADDR] [STAGE] [STAGE] [STAGE]\n"},
    {604, "err 6.04 - arguments should be: EXR [ADDR]\n"},
    {605, "err 6.05 - arguments should be: MIS [ADDR] [CH]\n"},
    {606, "err 6.06 - arguments should be: MAS [ADDR] [CH]\n"},
    {607, "err 6.07 - arguments should be: MIR [ADDR] [CH] [STAGE]\n"},
    {608, "err 6.08 - arguments should be: MAR [ADDR] [CH] [STAGE]\n"},
    {609, "err 6.09 - arguments should be: MMR [ADDR] [CH]\n"},
    {610, "err 6.10 - arguments should be: SKS [ADDR] [CH] [VALUE]\n"},
    {611, "err 6.11 - arguments should be: SKR [ADDR] [CH]\n"},
    {612, "err 6.12 - arguments should be: HFM [ADDR] [CH] [STAGE]\n"},
    {613, "err 6.13 - arguments should be: RSS [ADDR]\n"},
    {614, "err 6.14 - arguments should be: INF [ADDR] [STAGE] [STAGE] [STAGE]\n"},
};

constexpr std::string_view kFbenDev =
    "err 5.02 - arguments should be: DEVMODE FBEN [STAGE] [SCAN] [CLEAR] [STAGE] [SCAN] [CLEAR] [STAGE] "
    "[SCAN] "
    "[CLEAR] [TEMP] [TRQFR]\n";
constexpr std::string_view kFben =
    "err 5.02 - arguments should be: FBEN [STAGE] [CLEAR] [STAGE] [CLEAR] [STAGE] [CLEAR] [TEMP] [TRQFR]\n";
constexpr std::string_view kExsDev = "err 6.03 - arguments should be: DEVMODE EXS [ADDR] [FREQ] [DUTY]\n";
constexpr std::string_view kExs = "err 6.03 - arguments should be: EXS [ADDR] [DUTY]\n";

constexpr std::string_view kUsage =
    "Command line usage:\n"
    "@[DEV] [CMD] [ADDR] [CH] [TYPE] [TEMP] [DIR] [FREQ] [REL] [STEPS] [TRQFCTR]\n\n"
    " @[DEV ] -OPTIONAL- enter serial number to open specific device (see /USB)\n"
    " [CMD  ] must be MOV, STP, STS, POS, RST, INFO for \n"
    "         move, stop, status, position, reset position or info\n"
    "         or FBEN, FBXT, FBCS, FBFE, FBES, FBST for closed-loop commands.\n"
    "         For extended commands please refer to manual.\n"
    " [ADDR ] module: in range [1 2 3 4 5 6]\n"
    " [CH   ] output channel number: choose in range [1 2 3] for [a b c] resp.\n"
    " [TYPE ] Vellumotor Type (see /type for available types)\n"
    " [TEMP ] Temperature [K] in range 0 to 300 in integers \n"
    " [DIR  ] direction: 1 or 0 for CW or CCW resp\n"
    " [FREQ ] drive frequency [Hz]: 1 to 600 in integers\n"
    " [REL  ] relative stepsize [%] 1 to 100 in integers\n"
    " [STEPS] number of actuation steps 0 to 50000 in integers, with 0 being infinite\n"
    " [TRQFR] -OPTIONAL- sets torque multiplication factor [] 1 to 30 in integers\n"
    "\n"
    " Type /ver for version information\n";

}  // namespace

void PrintMessage(TextOut& out, int code, bool developmentMode) {
    switch (code) {
        case 502:
            out.write(developmentMode ? kFbenDev : kFben);
            return;
        case 603:
            out.write(developmentMode ? kExsDev : kExs);
            return;
        case 1000:
            out.write(kUsage);
            return;
        case 1001:
            out.write("List of stage types:\n");
            PrintStageList(out);
            return;
    }
    for (const Message& m : kMessages)
        if (m.code == code) {
            out.write(m.text);
            return;
        }
}

}  // namespace vm::cli
