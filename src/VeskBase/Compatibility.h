// Platform codes written into table headers. This library writes and accepts code 1.
#pragma once

#include <cstdint>
#include <string>

namespace Vesk::Compatibility {

constexpr uint32_t kPlatform = 1;

// "little-endian-64" for code 1, "unknown(N)" for anything else.
std::string platformType(uint32_t code);

}  // namespace Vesk::Compatibility
