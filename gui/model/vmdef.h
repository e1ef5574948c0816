#pragma once
// A drive profile of the desktop program: the name offered as an actuator type, the two numbers of
// the rise-time formula and whether moves with it run the other way round.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "link/fixed_text.h"

namespace vm::gui {

struct VMdef {
    FixedText<9> name;        // at most 8 characters
    std::int32_t paramA = 0;  // divides in the rise-time formula
    std::int32_t paramB = 0;  // multiplies in the rise-time formula
    std::uint8_t invertDirection = 0;
};

inline constexpr std::size_t kProfileCount = 4;
using ProfileTable = std::array<VMdef, kProfileCount>;

// The desktop program's profile table, in the order the type menu lists it.
ProfileTable DesktopProfiles();

// The row whose name equals the type; the last matching row wins. Null when no row matches.
const VMdef* FindProfile(const ProfileTable& table, std::string_view type);

}  // namespace vm::gui
