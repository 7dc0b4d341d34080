#include "Pimbo/Util.h"

#include "Pimbo/Exception.h"

#include <chrono>

namespace Pimbo {

std::string dumpHex(const void* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

double time() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

namespace Util {

uint64_t fileSizeHelper(uint64_t n, uint64_t element, uint64_t header) {
    uint64_t body = 0;
    uint64_t total = 0;
    if (__builtin_mul_overflow(n, element, &body) || __builtin_add_overflow(body, header, &total)) {
        PIMBO_THROW(RuntimeException, "file size overflow: {} x {} + {}", n, element, header);
    }
    return total;
}

}  // namespace Util
}  // namespace Pimbo
