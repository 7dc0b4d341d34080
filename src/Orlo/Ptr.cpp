#include "Orlo/Ptr.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>

#include "Orlo/Text.h"

namespace Orlo {

void PtrInterface::hasNotificationActiveIs(bool active) noexcept {
    if (VFPtrInterface::threadSafePointers_) {
        std::atomic_ref<uint32_t> word(word_);
        if (active) {
            word.fetch_or(kNotificationActiveBit, std::memory_order_relaxed);
        } else {
            word.fetch_and(~kNotificationActiveBit, std::memory_order_relaxed);
        }
        return;
    }
    word_ = active ? (word_ | kNotificationActiveBit) : (word_ & ~kNotificationActiveBit);
}

void PtrInterface::handleZeroRef() {
    if (hasNotificationActive()) {
        zeroReferencesIs(true);
        if (references() != 0) {
            return;  // the hook took the object over
        }
    }
    delete this;
}

void PtrInterface::countOverflow(uint32_t word) const noexcept {
    std::fprintf(stderr,
                 "Orlo::PtrInterface::newRef: reference count of a %s at %p would overflow into "
                 "the flag bits (word 0x%08x); look for a reference leak on this type\n",
                 demangleStdString(typeid(*this).name()).c_str(), static_cast<const void*>(this),
                 word);
    std::abort();
}

void PtrInterface::doubleRelease(uint32_t word) const noexcept {
    std::fprintf(stderr,
                 "Orlo::PtrInterface::deleteRef: released the object at %p whose reference "
                 "count is already 0 (word 0x%08x); a reference was dropped twice, or the object "
                 "was deleted directly while Ptrs still held it\n",
                 static_cast<const void*>(this), word);
    std::abort();
}

}  // namespace Orlo
