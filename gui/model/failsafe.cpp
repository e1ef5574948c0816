#include "gui/model/failsafe.h"

#include <array>

namespace vm::gui {

namespace {

struct FailsafeBit {
    std::uint8_t bit;
    std::array<std::string_view, 4> lines;  // empty entries end the list
};

// Listed in the order the report uses, which is not the order of the bit values.
constexpr FailsafeBit kBits[] = {
    {1, {"      >FAILURE: internal *HIGH* voltage rail missing", "        INSPECTION OF UNIT IS REQUIRED"}},
    {2, {"      >FAILURE: internal *LOW * voltage rail missing", "        INSPECTION OF UNIT IS REQUIRED"}},
    {4,
     {"      >WARNING: thermal overload on amplifier stage",
      "        capacative load too large, let unit cool down"}},
    {64,
     {"      >FAILURE: overcurrent#1 DETECTED on HIGH RAIL:",
      "         1) short circuit to protective earth or reference",
      "         2) capacitive load or drive parameters not correct", "        RESET required"}},
    {32,
     {"      >FAILURE: overcurrent#2 DETECTED on HIGH RAIL:",
      "         1) short circuit to protective earth or reference",
      "         2) capacitive load or drive parameters not correct", "        RESET required"}},
    {16,
     {"      >FAILURE: overcurrent#1 DETECTED on LOW RAIL:", "         1) short circuit to protective earth",
      "         2) capacitive load or drive parameters not correct", "        RESET required"}},
    {8,
     {"      >FAILURE: overcurrent#2 DETECTED on LOW RAIL: ", "         1) short circuit to protective earth",
      "         2) capacitive load or drive parameters not correct", "        RESET required"}},
};

}  // namespace

std::vector<std::string_view> FailsafeLines(std::uint8_t bits) {
    std::vector<std::string_view> lines;
    if (bits == 0 || bits == 255) return lines;
    for (const FailsafeBit& b : kBits) {
        if ((bits & b.bit) == 0) continue;
        for (std::string_view line : b.lines)
            if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

}  // namespace vm::gui
