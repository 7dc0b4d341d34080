// The slot table file ("slots") of a table: a 576-byte header, the lookaside slot, then the
// slots. Each slot holds one record and the link that chains it into a hash bucket or into the
// free list.
//
//   offset 0                       576   SlotTable::Header
//   offset 576                     slotSize   lookaside slot
//   offset headerSize = 576 + slotSize   slot 0 .. numSlots - 1, slotSize bytes each
//
//   slot: link (SlotLink, 8) | flags (u32) | rhash (u32) | record (valueSize bytes)
//
// Concurrency contract (one writer process, any number of reader processes, no locks): only the
// writer stores into the file, in the order of doc/file-format.md: links (P1), a slot linked
// once complete (P2), in-place copies through the lookaside slot (P3), numSlots and its version
// (P5 to P7), a file never shortened (P10), the critical-section bit (P11) and a re-format's
// header (P12). Readers load every word here through the accessors below; the counts, the
// free-list head and the runtime flags are hints to them (P7).
#pragma once

#include "Mem/Atomic.h"
#include "Mem/VersionedRef.h"
#include "Pimbo/Debuggable.h"
#include "Plinth/CinderId.h"
#include "Plinth/PlinthWrapper.h"
#include "VeskBase/AttachFailure.h"
#include "VeskBase/SlotLink.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace Vesk {

// The first even numSlots version above v: where a re-format starts counting, so that readers
// of the old generation see the version move and no shrink seems under way.
constexpr uint32_t evenVersionAfter(uint32_t v) {
    return (v + 2) & ~1u;
}

// Bits of a slot's flags word.
constexpr uint32_t OCCUPIED = 0x1;
constexpr uint32_t LOOKASIDE = 0x2;
// Bit 0 of runtimeFlags: a mutation is in progress.
constexpr uint16_t CRITICAL_SECTION = 0x1;
constexpr uint32_t kNoSlot = 0xFFFFFFFF;
// Slot counts stay below this: ids with bit 31 set are bucket markers.
constexpr uint32_t kMaxSlots = 0x7FFFFFFF;

// The fixed part of every slot; the record follows at offset 16.
struct SlotHead {
    SlotLink link;
    uint32_t flags;
    uint32_t rhash;
};
static_assert(sizeof(SlotHead) == 16);
static_assert(std::is_standard_layout_v<SlotHead>);
static_assert(offsetof(SlotHead, link) == 0);
static_assert(offsetof(SlotHead, flags) == 8);
static_assert(offsetof(SlotHead, rhash) == 12);

// Named accessors of a slot at address p (8-aligned).
inline SlotLink* slotLink(void* p) {
    return static_cast<SlotLink*>(p);
}
inline const SlotLink* slotLink(const void* p) {
    return static_cast<const SlotLink*>(p);
}
inline uint32_t* slotFlagsWord(void* p) {
    return &static_cast<SlotHead*>(p)->flags;
}
inline const uint32_t* slotFlagsWord(const void* p) {
    return &static_cast<const SlotHead*>(p)->flags;
}
// Acquire load of flags: pairs with the writer's release stores of flags (setFlags).
inline uint32_t loadFlags(const void* p) {
    return Mem::loadAcquire32(slotFlagsWord(p));
}
inline uint32_t loadRhash(const void* p) {
    return Mem::loadRelaxed32(&static_cast<const SlotHead*>(p)->rhash);
}
inline char* slotValue(void* p) {
    return static_cast<char*>(p) + sizeof(SlotHead);
}
inline const char* slotValue(const void* p) {
    return static_cast<const char*>(p) + sizeof(SlotHead);
}
// The record's key: its first 8 bytes.
inline uint64_t slotKey(const void* p) {
    return Mem::loadRelaxed64(slotValue(p));
}

// Writer only: a release store of flags, so a reader that sees the new value also sees every
// store before it.
inline void setFlags(void* p, uint32_t v) {
    Mem::storeRelease32(slotFlagsWord(p), v);
}
inline void setRhash(void* p, uint32_t v) {
    Mem::storeRelaxed32(&static_cast<SlotHead*>(p)->rhash, v);
}

class SlotTableHeader {
  public:
    static constexpr char kMagic[8] = {'V', 'E', 'S', 'K', '_', 'S', 'L', 'T'};
    static constexpr uint32_t kVersion = 23;
    static constexpr uint32_t kTypeNameSize = 512;

    // Formats a file: builds the header, the lookaside slot and numSlots fresh slots at `at`,
    // the start of a region of at least headerSize + numSlots x slotSize bytes that readers may
    // have mapped (a re-format). Checks its inputs before the first store: a type name of more
    // than 511 characters throws Pimbo::InvalidInitializeException and leaves the region as it
    // was. Every store is atomic; numSlots goes last, with a release store, and numSlotsVersion
    // lets a re-format keep its version growing for mapped readers. The free list is left
    // empty.
    static SlotTableHeader* format(void* at, Pimbo::Platform::DebugHandler& handler,
                                   uint32_t numSlots, uint32_t maxSlots, uint32_t constFlags,
                                   Plinth::CinderId cinderId, const std::string& valueTypeName,
                                   uint32_t valueSize, uint32_t hashSeed,
                                   uint32_t numSlotsVersion = 0);

    static constexpr uint32_t headerSizeFor(uint32_t slotSize) { return 576 + slotSize; }

    // Checks the header against the mapped file size: none, or why the file cannot be used
    // (notATable, otherVersion, otherGeneration, otherRecordType, corrupt) with the text of the
    // first failing check, naming the value found, in `reason`. expectedType /
    // expectedValueSize name the record type this process compiled (null: not checked).
    AttachFailure validate(Pimbo::Platform::DebugHandler& handler, uint64_t fileSize,
                           Plinth::CinderId wantedCinderId, std::string& reason,
                           const char* expectedType = nullptr,
                           uint32_t expectedValueSize = 0) const;

    uint32_t computeChecksum() const;
    std::string toString() const;

    void* lookaside() { return reinterpret_cast<char*>(this) + 576; }
    const void* lookaside() const { return reinterpret_cast<const char*>(this) + 576; }

    // The counts and the free-list head. Only the writer changes them, with relaxed atomic
    // stores; readers load them as hints.
    uint32_t occupied() const { return Mem::loadRelaxed32(&occupiedSlots); }
    void occupiedIs(uint32_t n) { Mem::storeRelaxed32(&occupiedSlots, n); }
    uint32_t freeHead() const { return Mem::loadRelaxed32(&freeSlots); }
    void freeHeadIs(uint32_t id) { Mem::storeRelaxed32(&freeSlots, id); }
    uint32_t most() const { return Mem::loadRelaxed32(&mostSlots); }
    void mostIs(uint32_t n) { Mem::storeRelaxed32(&mostSlots, n); }

    // Writer only.
    [[gnu::always_inline]] void criticalSectionIs(bool on) {
        const uint16_t f = Mem::loadRelaxed16(&runtimeFlags);
        Mem::storeRelaxed16(&runtimeFlags,
                            on ? uint16_t(f | CRITICAL_SECTION) : uint16_t(f & ~CRITICAL_SECTION));
    }
    bool criticalSection() const {
        return (Mem::loadRelaxed16(&runtimeFlags) & CRITICAL_SECTION) != 0;
    }

    char magic[8];
    uint32_t version;
    uint32_t cinder;
    uint32_t platform;
    char valueType[kTypeNameSize];
    uint32_t valueSize;
    uint32_t slotSize;
    uint32_t maxSlots;
    uint16_t constFlags;
    uint16_t runtimeFlags;
    uint32_t hash;
    uint32_t occupiedSlots;
    uint32_t freeSlots;
    uint32_t mostSlots;
    uint32_t hashSeed;
    Mem::VersionedRef<uint32_t> numSlots;
};

static_assert(sizeof(SlotTableHeader) == 576);
static_assert(std::is_standard_layout_v<SlotTableHeader>);
static_assert(offsetof(SlotTableHeader, magic) == 0);
static_assert(offsetof(SlotTableHeader, version) == 8);
static_assert(offsetof(SlotTableHeader, cinder) == 12);
static_assert(offsetof(SlotTableHeader, platform) == 16);
static_assert(offsetof(SlotTableHeader, valueType) == 20);
static_assert(offsetof(SlotTableHeader, valueSize) == 532);
static_assert(offsetof(SlotTableHeader, slotSize) == 536);
static_assert(offsetof(SlotTableHeader, maxSlots) == 540);
static_assert(offsetof(SlotTableHeader, constFlags) == 544);
static_assert(offsetof(SlotTableHeader, runtimeFlags) == 546);
static_assert(offsetof(SlotTableHeader, hash) == 548);
static_assert(offsetof(SlotTableHeader, occupiedSlots) == 552);
static_assert(offsetof(SlotTableHeader, freeSlots) == 556);
static_assert(offsetof(SlotTableHeader, mostSlots) == 560);
static_assert(offsetof(SlotTableHeader, hashSeed) == 564);
static_assert(offsetof(SlotTableHeader, numSlots) == 568);

// Writer only: a fresh slot (version 0, end of chain, flags 0, rhash 0, zero record).
void buildFreshSlot(void* slot, uint32_t slotSize);

// The part of a slot table that writer and reader share: the region of the file and the header
// inside it. Sizes are fixed per record type.
template <class Ops>
class SlotTable {
  public:
    using Header = SlotTableHeader;
    static constexpr uint32_t valueSize = Ops::valueSize;
    static constexpr uint32_t slotSize = valueSize + sizeof(SlotHead);
    static constexpr uint32_t headerSize = Header::headerSizeFor(slotSize);

    SlotTable(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath, bool local)
        : tableHandler_(handler.shared_from_this()), region_(handler, rootPath, "slots", local) {}
    virtual ~SlotTable() = default;
    SlotTable(const SlotTable&) = delete;
    SlotTable& operator=(const SlotTable&) = delete;

    virtual void detach() {
        PIMBO_TRACE_TO(*tableHandler_, "SlotTable", 5, "detach");
        region_.detach();
        header_ = nullptr;
    }
    virtual uint32_t capacity() = 0;

    Header* header() const { return header_; }
    Mem::PlinthWrapper& region() { return region_; }
    const std::string& fileName() const { return region_.getFilename(); }

  protected:
    std::shared_ptr<Pimbo::Platform::DebugHandler> tableHandler_;
    Mem::PlinthWrapper region_;
    Header* header_ = nullptr;
};

}  // namespace Vesk
