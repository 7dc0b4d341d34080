// VersionAnchor: vouches that a record copied out of a table has not changed since.
//
// It keeps the `flags` value seen when the record was copied, the byte offset of that `flags`
// word from the mapping base, and the mapping base. validate() compares the live word with the
// value seen. Offsets 0xFFFFFFFE (never set) and 0xFFFFFFFF (invalidated, for example by a
// re-map that left the word outside the mapping) are reserved; a flags word is 8-aligned, so no
// real offset takes either value.
//
// The offset is carried in 64 bits: a mapping may be larger than 4 GiB (up to
// Mem::Local::maxMappingSize()), and a 32-bit offset would name a word 4 GiB away. Anchors live
// only in this process, never in a shared file, so the width costs no format change.
#pragma once

#include <cstdint>
#include <string>

namespace Mem {

// The first two words of a VersionAnchor: what a caller keeps to compare anchors later.
struct CacheVersionAnchor {
    uint32_t flags = 0;
    uint64_t offset = 0xFFFFFFFE;

    std::string toString() const;
    friend bool operator==(const CacheVersionAnchor&, const CacheVersionAnchor&) = default;
};

struct VersionAnchor {
    static constexpr uint64_t kNotSet = 0xFFFFFFFE;
    static constexpr uint64_t kInvalid = 0xFFFFFFFF;

    uint32_t flags = 0;
    uint64_t offset = kNotSet;
    const char* base = nullptr;

    void set(uint32_t seenFlags, const void* flagsWord, const void* mappingBase) {
        flags = seenFlags;
        offset =
            uint64_t(static_cast<const char*>(flagsWord) - static_cast<const char*>(mappingBase));
        base = static_cast<const char*>(mappingBase);
    }
    void reset() { *this = VersionAnchor{0, kNotSet, nullptr}; }
    void invalidate() { offset = kInvalid; }
    bool isSet() const { return offset != kNotSet && offset != kInvalid; }

    // Follows a mapping that moved: keeps the anchor when its word is still inside the new
    // mapping of `mappedSize` bytes, else invalidates it.
    void rebase(const void* newBase, uint64_t mappedSize);

    // Stops the process for a never-set anchor; throws Mem::VersionMismatchException when the
    // anchor is invalid or the word no longer holds the value seen.
    void validate() const;

    CacheVersionAnchor cache() const { return CacheVersionAnchor{flags, offset}; }
    std::string toString() const;
};

}  // namespace Mem
