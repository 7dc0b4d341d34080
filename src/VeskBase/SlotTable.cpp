#include "VeskBase/SlotTable.h"

#include "Mem/Local.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/HashMix.h"
#include "Pimbo/Util.h"
#include "VeskBase/Compatibility.h"

#include <cstring>

namespace Vesk {

void buildFreshSlot(void* slot, uint32_t slotSize) {
    resetLink(slotLink(slot));
    setRhash(slot, 0);
    Mem::storeRelaxedZero(slotValue(slot), slotSize - sizeof(SlotHead));
    setFlags(slot, 0);
}

SlotTableHeader* SlotTableHeader::format(void* at, Pimbo::Platform::DebugHandler& handler,
                                         uint32_t numSlots, uint32_t maxSlots, uint32_t constFlags,
                                         Plinth::CinderId cinderId,
                                         const std::string& valueTypeName, uint32_t valueSize,
                                         uint32_t hashSeed, uint32_t numSlotsVersion) {
    if (valueTypeName.size() > kTypeNameSize - 1) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "value typename {} exceeds {} characters",
                    valueTypeName, kTypeNameSize);
    }
    // Built in private memory first (the checksum is computed there), then stored.
    SlotTableHeader h{};
    std::memcpy(h.magic, kMagic, sizeof(h.magic));
    h.version = kVersion;
    h.cinder = cinderId.value;
    h.platform = Compatibility::kPlatform;
    std::memcpy(h.valueType, valueTypeName.data(), valueTypeName.size());
    h.valueSize = valueSize;
    h.slotSize = valueSize + sizeof(SlotHead);
    h.maxSlots = maxSlots;
    h.constFlags = uint16_t(constFlags);
    h.runtimeFlags = 0;
    h.occupiedSlots = 0;
    h.freeSlots = kNoSlot;
    h.mostSlots = numSlots;
    h.hashSeed = hashSeed;
    h.hash = h.computeChecksum();

    // A reader of the old generation sees the cinder change first, and numSlots (with a new
    // version) last: a header copy that straddles the re-format is retried.
    auto* live = static_cast<SlotTableHeader*>(at);
    Mem::storeRelease32(&live->cinder, h.cinder);
    Mem::storeRelaxedCopy(live, &h, offsetof(SlotTableHeader, numSlots));
    Mem::VersionedRef<uint32_t>::publish(&live->numSlots,
                                         Mem::VersionedRef<uint32_t>{numSlotsVersion, numSlots});
    buildFreshSlot(live->lookaside(), h.slotSize);
    char* first = static_cast<char*>(at) + headerSizeFor(h.slotSize);
    for (uint32_t i = 0; i < numSlots; ++i)
        buildFreshSlot(first + uint64_t(i) * h.slotSize, h.slotSize);
    PIMBO_TRACE_TO(handler, "SlotTable::Header", 5, "built {} slots for {}", numSlots,
                   valueTypeName);
    return live;
}

uint32_t SlotTableHeader::computeChecksum() const {
    Pimbo::Impl::HashMix<uint32_t> mix(0x811C9DC5u);
    mix.add(valueType, sizeof(valueType));
    mix.add(&valueSize, sizeof(valueSize));
    mix.add(&slotSize, sizeof(slotSize));
    mix.add(&maxSlots, sizeof(maxSlots));
    mix.add(&constFlags, sizeof(constFlags));
    mix.add(&hashSeed, sizeof(hashSeed));
    return mix.value();
}

AttachFailure SlotTableHeader::validate(Pimbo::Platform::DebugHandler& handler, uint64_t fileSize,
                                        Plinth::CinderId wantedCinderId, std::string& reason,
                                        const char* expectedType,
                                        uint32_t expectedValueSize) const {
    auto failAs = [&](AttachFailure failure, std::string text) {
        reason = std::move(text);
        PIMBO_TRACE_TO(handler, "SlotTable::Header", 0, "{}", reason);
        return failure;
    };
    auto fail = [&](std::string text) { return failAs(AttachFailure::corrupt, std::move(text)); };
    uint64_t m = 0;
    std::memcpy(&m, magic, sizeof(m));
    if (std::memcmp(magic, kMagic, sizeof(magic)) != 0)
        return failAs(AttachFailure::notATable, fmt::format("bad magic: {:x}", m));
    if (version != kVersion)
        return failAs(AttachFailure::otherVersion, fmt::format("bad version: {}", version));
    if (!wantedCinderId.isNone() && wantedCinderId.value != cinder) {
        return failAs(
            AttachFailure::otherGeneration,
            fmt::format("bad cinder:{} wanted:{}", Plinth::CinderId(cinder), wantedCinderId));
    }
    if (platform != Compatibility::kPlatform) {
        return failAs(AttachFailure::otherVersion,
                      fmt::format("bad platform specification: {} expecting: {}",
                                  Compatibility::platformType(platform),
                                  Compatibility::platformType(Compatibility::kPlatform)));
    }
    const uint32_t computed = computeChecksum();
    if (computed != hash)
        return fail(fmt::format("checksum fail: {:x} != {:x}", computed, hash));
    // The record type this process compiled must be the one the file holds: another type would
    // be indexed with the wrong slot size.
    if (expectedType != nullptr) {
        const std::string stored(valueType, strnlen(valueType, sizeof(valueType)));
        if (stored != expectedType) {
            return failAs(AttachFailure::otherRecordType,
                          fmt::format("bad valueType:{} expecting:{}", stored, expectedType));
        }
        if (valueSize != expectedValueSize) {
            return failAs(
                AttachFailure::otherRecordType,
                fmt::format("bad valueSize:{} expecting:{}", valueSize, expectedValueSize));
        }
        if (slotSize != expectedValueSize + sizeof(SlotHead)) {
            return fail(fmt::format("bad slotSize:{} expecting:{}", slotSize,
                                    expectedValueSize + sizeof(SlotHead)));
        }
    } else if (slotSize != valueSize + sizeof(SlotHead)) {
        return fail(fmt::format("bad slotSize:{} expecting:{}", slotSize,
                                uint64_t(valueSize) + sizeof(SlotHead)));
    }
    const auto count = Mem::VersionedRef<uint32_t>::load(&numSlots);
    if (occupied() > count.value) {
        return fail(fmt::format("bad occupiedSlots: {} num slots: {}", occupied(), count));
    }
    if (freeHead() != kNoSlot && freeHead() >= count.value) {
        return fail(fmt::format("bad freeSlots: {} slots: {}", freeHead(), count.value));
    }
    if (most() < count.value) {
        return fail(fmt::format("bad mostSlots:{} numSlots:{}", most(), count.value));
    }
    const uint64_t headerSize = headerSizeFor(slotSize);
    if (fileSize < headerSize) {
        return fail(fmt::format("bad header file size: {} wanted:{}", fileSize, headerSize));
    }
    if (fileSize >= Mem::Local::maxMappingSize())
        return fail(fmt::format("bad file size:{}", fileSize));
    uint64_t needed = 0;
    try {
        needed = Pimbo::Util::fileSizeHelper(count.value, slotSize, headerSize);
    } catch (const Pimbo::Exception& e) {
        return fail(fmt::format("bad numSlots: {} message: {}", count.value, e.msg()));
    }
    if (fileSize < needed) {
        return fail(
            fmt::format("bad shmem size:{} wanted:{} for {} slots", fileSize, needed, count.value));
    }
    return AttachFailure::none;
}

std::string SlotTableHeader::toString() const {
    uint64_t m = 0;
    std::memcpy(&m, magic, sizeof(m));
    // valueType may lack its terminator in a damaged file: never read past the field.
    const std::string type(valueType, strnlen(valueType, sizeof(valueType)));
    return fmt::format(
        "magic:{:#x} version:{} cinder:{} platform:{} valueType:\"{}\" valueSize:{} slotSize:{} "
        "maxSlots:{} constFlags:{:#x} runtimeFlags:{:#x} hash:{:#x} occupiedSlots:{} freeSlots:{} "
        "mostSlots:{} hashSeed:{} numSlots:{}",
        m, version, Plinth::CinderId(cinder), platform, type, valueSize, slotSize, maxSlots,
        constFlags, Mem::loadRelaxed16(&runtimeFlags), hash, occupied(), freeHead(), most(),
        hashSeed, Mem::VersionedRef<uint32_t>::load(&numSlots));
}

}  // namespace Vesk
