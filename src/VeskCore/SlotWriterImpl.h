// The cold part of SlotWriterTable: attaching the slot file. Included only by the .cpp file that
// instantiates the writer for each record type.
#pragma once

#include "VeskCore/SlotWriter.h"

#include <algorithm>
#include <string>

namespace Vesk {

// Maps the file and reuses (2), formats (1) or re-formats (4) it.
template <class Ops>
uint32_t SlotWriterTable<Ops>::attach(Plinth::CinderId cinderId) {
    if (this->header_ != nullptr)
        detach();
    const uint64_t existing = this->region_.memSize();
    const uint64_t size = Pimbo::Util::fileSizeHelper(initialCapacity_, slotSize, headerSize);
    // An existing file is mapped as it is until it is known to be re-formatted: a file kept
    // for reuse is not extended to the size a new one would have.
    const uint64_t first = existing >= sizeof(Header) ? std::min(existing, size) : size;
    void* base = this->region_.attach(first, Mem::PlinthWrapper::kWriter);
    if (base == nullptr) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot attach to shmem {} size:{}: {}",
                    this->fileName(), first, this->region_.errorText());
    }
    this->header_ = static_cast<Header*>(base);
    Header* h = this->header_;
    uint32_t oldVersion = 0;
    if (existing >= sizeof(Header)) {
        oldVersion = evenVersionAfter(h->numSlots.version);
        const uint32_t existingSlots = h->numSlots.value;
        const bool wrongFixedSize = fixedSize_ && existingSlots != initialCapacity_;
        if (wrongFixedSize) {
            PIMBO_TRACE(1,
                        "wanted capacity:{} for fixed-size table, but existing file has "
                        "capacity:{}",
                        initialCapacity_, existingSlots);
        }
        std::string reason;
        if (h->cinder == cinderId.value && !wrongFixedSize &&
            h->validate(debugHandler(), existing, cinderId, reason, Ops::typeName(), valueSize) ==
                AttachFailure::none) {
            hashOps_.hashSeedIs(h->hashSeed);
            const uint64_t needed =
                Pimbo::Util::fileSizeHelper(existingSlots, slotSize, headerSize);
            void* moved = this->region_.resize(needed);
            if (moved == nullptr) {
                PIMBO_THROW(Pimbo::MemoryResourceException, "failed to resize {} to size {} : {}",
                            this->fileName(), needed, this->region_.errorText());
            }
            this->header_ = static_cast<Header*>(moved);
            h = this->header_;
            // A shrink cut short leaves the version odd: end it, the count as it stands.
            if ((h->numSlots.version & 1) != 0) {
                Mem::VersionedRef<uint32_t>::publish(&h->numSlots,
                                                     {h->numSlots.version + 1, h->numSlots.value});
            }
            loadCounts();
            PIMBO_TRACE(2, "to existing {}", this->fileName());
            traceHeader();
            return 2;
        }
    }
    if (first < size) {
        void* grown = this->region_.resize(size);
        if (grown == nullptr) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot resize {} from {} to {} bytes ({} slots) to format it: {}",
                        this->fileName(), first, size, initialCapacity_, this->region_.errorText());
        }
        this->header_ = static_cast<Header*>(grown);
    }
    format(cinderId, oldVersion, existing != 0);
    traceHeader();
    if (existing != 0) {
        PIMBO_TRACE(1, "re-formatted {}", this->fileName());
        return 4;
    }
    PIMBO_TRACE(2, "to new file {}", this->fileName());
    return 1;
}

}  // namespace Vesk
