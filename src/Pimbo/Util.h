// Small utilities of the table machinery: bit reversal, file-size arithmetic, hex dumps, time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Pimbo {

// "0x0000000000000007" style dump of n bytes at p: lower-case hex, little-endian byte order
// shown as it lies in memory, bytes separated by nothing ("0700000000000000").
std::string dumpHex(const void* p, size_t n);

// Wall time in seconds since the epoch.
double time();

namespace Util {

// The 32 bits of v in reverse order: bit 0 becomes bit 31.
constexpr uint32_t reverse(uint32_t v) {
    v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
    return __builtin_bswap32(v);  // the bytes in reverse order
}

// header + n x element in 64 bits; throws Pimbo::RuntimeException when that overflows.
uint64_t fileSizeHelper(uint64_t n, uint64_t element, uint64_t header);

}  // namespace Util
}  // namespace Pimbo
