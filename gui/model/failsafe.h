#pragma once
// The meaning of a drive module's failsafe bits ("GFS"), as the desktop program's driver check
// reports them: two to four lines per set bit.
#include <cstdint>
#include <string_view>
#include <vector>

namespace vm::gui {

// The report lines of every set bit, in the order bits 1, 2, 4, 64, 32, 16, 8 (bit 128 has no
// text). Empty for 0 (all good) and for 255 (the value that stands for "could not be read").
std::vector<std::string_view> FailsafeLines(std::uint8_t bits);

}  // namespace vm::gui
