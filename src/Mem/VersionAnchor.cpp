#include "Mem/VersionAnchor.h"

#include "Mem/Atomic.h"
#include "Pimbo/Assert.h"
#include "Pimbo/Exception.h"

namespace Mem {

std::string CacheVersionAnchor::toString() const {
    return fmt::format("CacheVersionAnchor{{ flags {:#x}, offset {:#x} }}", flags, offset);
}

std::string VersionAnchor::toString() const {
    return fmt::format("VersionAnchor{{ flags {:#x}, offset {:#x}, base {} }}", flags, offset,
                       static_cast<const void*>(base));
}

void VersionAnchor::rebase(const void* newBase, uint64_t mappedSize) {
    if (!isSet())
        return;
    // The 4-byte word must lie wholly inside the new mapping; compare without overflow.
    if (mappedSize >= 4 && offset <= mappedSize - 4) {
        base = static_cast<const char*>(newBase);
    } else {
        offset = kInvalid;
    }
}

void VersionAnchor::validate() const {
    if (offset == kNotSet) {
        PIMBO_ASSERT_FAIL("VersionAnchor",
                          "should not be called on a default-constructed VersionAnchor");
    }
    if (offset == kInvalid || base == nullptr) {
        PIMBO_THROW(VersionMismatchException, "version anchor invalid: {}", toString());
    }
    const uint32_t now = loadAcquire32(base + offset);
    if (now != flags) {
        PIMBO_THROW(VersionMismatchException, "version changed from {:#x} to {:#x}: {}", flags, now,
                    toString());
    }
}

}  // namespace Mem
