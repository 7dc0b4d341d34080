#include "VeskBase/Compatibility.h"

#include <fmt/format.h>

namespace Vesk::Compatibility {

std::string platformType(uint32_t code) {
    if (code == kPlatform)
        return "little-endian-64";
    return fmt::format("unknown({})", code);
}

}  // namespace Vesk::Compatibility
