#include "link/com_method.h"

#include <algorithm>

namespace vm {

int CountDots(std::string_view text) { return static_cast<int>(std::count(text.begin(), text.end(), '.')); }

}  // namespace vm
