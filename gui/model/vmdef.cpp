#include "gui/model/vmdef.h"

namespace vm::gui {

namespace {
VMdef Profile(std::string_view name, std::int32_t paramA, std::int32_t paramB, std::uint8_t invert) {
    VMdef p;
    p.name.assign(name);
    p.paramA = paramA;
    p.paramB = paramB;
    p.invertDirection = invert;
    return p;
}
}  // namespace

ProfileTable DesktopProfiles() {
    return {
        Profile("NONE", 1, 1, 0),
        Profile("PROFILE1", 6000, 3, 0),
        Profile("PROFILE2", 6000, 3, 1),
        Profile("PROFILE3", 6000, 9, 0),
    };
}

const VMdef* FindProfile(const ProfileTable& table, std::string_view type) {
    const VMdef* found = nullptr;
    for (const VMdef& p : table)
        if (p.name == type) found = &p;
    return found;
}

}  // namespace vm::gui
