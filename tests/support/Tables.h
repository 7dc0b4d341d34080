// The tables of the tests: the four record kinds (one description, tools/RecordKinds.h, shared
// with the tool, the fuzz target and the benchmarks), writers in a private root, raw reading and
// damaging of a table's files. A whole table's consistency is checked with the library's
// read-only checker (Vesk/TableChecker.h), which `vesk check` uses too.
//
// The raw readers deliberately do not use the library's structs: they read the documented
// offsets of the files byte by byte, so a layout fault in the structs shows up here.
#pragma once

#include "FlexCounters2/CounterTables.h"
#include "Orlo/Hash.h"
#include "Pimbo/Debug.h"
#include "RecordKinds.h"
#include "Vesk/VeskWriter.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace VeskTest {

using namespace VeskTool;  // the record types and Kind<Ops>

// The record kinds for typed suites, one tag for each record type, named after it: a test reads
// as `CounterTableTyped.WritesAndReadsBack<VeskTest::Wide>` instead of the bundle's full type.
template <class Ops>
struct KindTag;
#define VESK_TEST_KIND(NAME)                  \
    struct NAME {                             \
        using Ops = CounterEntry##NAME##Ops;  \
    };                                        \
    template <>                               \
    struct KindTag<CounterEntry##NAME##Ops> { \
        using type = NAME;                    \
    };
FLEXCOUNTERS2_FOR_EACH_RECORD(VESK_TEST_KIND)
#undef VESK_TEST_KIND
template <class Ops>
using KindTagOf = typename KindTag<Ops>::type;
using AllKinds = PerKindOps<::testing::Types, KindTagOf>;

// ----- writers in a private root -----

inline const Plinth::CinderId kCinder{7, 1};
inline const char* const kTableName = "t/counter";

inline std::shared_ptr<Pimbo::Platform::DebugHandler> testHandler() {
    return Pimbo::Platform::getDebugHandler("WriterTest");
}

// A descriptor for a growable table that may shrink both its slots and its buckets.
inline Vesk::MapDescriptor shrinkingDescriptor(uint32_t maxSlots) {
    Vesk::MapDescriptor d(maxSlots);
    d.shrinkSlots = 1;
    d.shrinkBuckets = 1;
    return d;
}

template <class Ops>
std::unique_ptr<Vesk::VeskWriter<Ops>> makeWriter(const Vesk::MapDescriptor& d,
                                                  const std::string& name = kTableName) {
    return std::make_unique<Vesk::VeskWriter<Ops>>(*testHandler(), name, d, Ops{},
                                                   "CounterTableTest");
}

// A writer attached to cinderId (its files are new inside the test's private root).
template <class Ops>
std::unique_ptr<Vesk::VeskWriter<Ops>> attachedWriter(const Vesk::MapDescriptor& d,
                                                      Plinth::CinderId id = kCinder,
                                                      const std::string& name = kTableName) {
    auto w = makeWriter<Ops>(d, name);
    w->attach(id);
    return w;
}

template <class Writer>
std::string slotsPath(Writer& w) {
    return w.slotTable().fileName();
}
template <class Writer>
std::string bucketsPath(Writer& w) {
    return w.hashMap().bucketWriter().fileName();
}

// Every record a full iteration returns, in order.
template <class Writer>
std::vector<typename Writer::Value> iterateAll(Writer& w) {
    std::vector<typename Writer::Value> out;
    typename Writer::Value v{};
    Vesk::IterHint hint;
    for (bool more = w.first(v, hint); more; more = w.next(Writer::OpsType::key(v), v, hint)) {
        out.push_back(v);
        if (out.size() > uint64_t(w.capacity()) + 1) {
            ADD_FAILURE() << "iteration returned more records than the table has slots";
            break;
        }
    }
    return out;
}

// The message of the E that f throws; "" when it returns.
template <class E = Pimbo::Exception, class F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.msg();
    }
    return "";
}

// ----- raw files -----

inline std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

// Every entry below dir with its bytes (empty for all but a regular file).
inline std::map<std::string, std::vector<unsigned char>> snapshot(const std::string& dir) {
    std::map<std::string, std::vector<unsigned char>> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        out[e.path()] = e.is_regular_file() ? readFile(e.path()) : std::vector<unsigned char>{};
    return out;
}

template <class T>
T rd(const std::vector<unsigned char>& b, uint64_t off) {
    if (off + sizeof(T) > b.size()) {
        throw std::runtime_error("read of " + std::to_string(sizeof(T)) + " bytes at " +
                                 std::to_string(off) + " beyond " + std::to_string(b.size()));
    }
    T v;
    std::memcpy(&v, b.data() + off, sizeof(T));
    return v;
}

// Writes bytes into a file at an offset (the writer sees them through its shared mapping).
inline void pwriteAt(const std::string& path, uint64_t off, const void* data, size_t n) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    const ssize_t done = ::pwrite(fd, data, n, off_t(off));
    ::close(fd);
    if (done != ssize_t(n))
        throw std::runtime_error("short pwrite to " + path);
}
template <class T>
void pwriteValue(const std::string& path, uint64_t off, T v) {
    pwriteAt(path, off, &v, sizeof(v));
}

struct FileStat {
    uint64_t size = 0;
    uint64_t blocks = 0;  // 512-byte blocks allocated
};
inline FileStat statFile(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path);
    return FileStat{uint64_t(st.st_size), uint64_t(st.st_blocks)};
}

// Offsets of the slot file header and of a slot.
namespace Off {
constexpr uint64_t kMagic = 0, kVersion = 8, kCinder = 12, kPlatform = 16, kValueType = 20,
                   kValueSize = 532, kSlotSize = 536, kMaxSlots = 540, kConstFlags = 544,
                   kRuntimeFlags = 546, kHash = 548, kOccupied = 552, kFreeSlots = 556,
                   kMostSlots = 560, kHashSeed = 564, kNumSlotsVersion = 568, kNumSlots = 572,
                   kLookaside = 576;
constexpr uint64_t kLinkVersion = 0, kLinkNext = 4, kFlags = 8, kRhash = 12, kValue = 16;
constexpr uint64_t kBucketMagic = 0, kBucketVersion = 8, kBucketCinder = 12,
                   kNumBucketsVersion = 16, kNumBuckets = 20, kBuckets = 24;
}  // namespace Off

constexpr uint32_t kEnd = 0xFFFFFFFF;
constexpr uint32_t kMarker = 0x80000000;

// v with its 32 bits reversed (bit by bit, independently of the library's helpers).
inline uint32_t reverse32(uint32_t v) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < 32; ++i)
        r |= ((v >> i) & 1u) << (31 - i);
    return r;
}

// FNV-1a over the header's constant fields, in the order the file format fixes.
inline uint32_t headerChecksum(const std::vector<unsigned char>& s) {
    uint32_t h = 0x811C9DC5u;
    auto feed = [&](uint64_t off, uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            h ^= s.at(off + i);
            h *= 16777619u;
        }
    };
    feed(Off::kValueType, 512);
    feed(Off::kValueSize, 4);
    feed(Off::kSlotSize, 4);
    feed(Off::kMaxSlots, 4);
    feed(Off::kConstFlags, 2);
    feed(Off::kHashSeed, 4);
    return h;
}

struct RawSlot {
    uint32_t id = 0;
    uint32_t version = 0;
    uint32_t next = 0;
    uint32_t flags = 0;
    uint32_t rhash = 0;
    uint64_t key = 0;
    std::vector<unsigned char> value;  // the record bytes
};

// The two files of a table, read as raw bytes at one moment.
struct RawTable {
    std::vector<unsigned char> slots;
    std::vector<unsigned char> buckets;
    uint32_t slotSize = 0;
    uint32_t headerSize = 0;

    template <class Writer>
    static RawTable of(Writer& w) {
        RawTable t;
        t.slots = readFile(slotsPath(w));
        t.buckets = readFile(bucketsPath(w));
        t.slotSize = rd<uint32_t>(t.slots, Off::kSlotSize);
        t.headerSize = 576 + t.slotSize;
        return t;
    }

    uint32_t numSlots() const { return rd<uint32_t>(slots, Off::kNumSlots); }
    uint32_t freeHead() const { return rd<uint32_t>(slots, Off::kFreeSlots); }
    uint32_t seed() const { return rd<uint32_t>(slots, Off::kHashSeed); }
    uint16_t runtimeFlags() const { return rd<uint16_t>(slots, Off::kRuntimeFlags); }
    uint32_t numBuckets() const { return rd<uint32_t>(buckets, Off::kNumBuckets); }
    uint32_t bucketNext(uint32_t b) const {
        return rd<uint32_t>(buckets, Off::kBuckets + 8u * b + 4);
    }
    uint32_t bucketVersion(uint32_t b) const {
        return rd<uint32_t>(buckets, Off::kBuckets + 8u * b);
    }

    RawSlot slotAt(uint64_t off, uint32_t id) const {
        RawSlot s;
        s.id = id;
        s.version = rd<uint32_t>(slots, off + Off::kLinkVersion);
        s.next = rd<uint32_t>(slots, off + Off::kLinkNext);
        s.flags = rd<uint32_t>(slots, off + Off::kFlags);
        s.rhash = rd<uint32_t>(slots, off + Off::kRhash);
        s.key = rd<uint64_t>(slots, off + Off::kValue);
        const uint64_t v = off + Off::kValue;
        s.value.assign(slots.begin() + v, slots.begin() + v + (slotSize - 16));
        return s;
    }
    RawSlot slot(uint32_t id) const { return slotAt(headerSize + uint64_t(id) * slotSize, id); }
    RawSlot lookaside() const { return slotAt(Off::kLookaside, kEnd); }

    // The free list from its head; "" or the first violation (bounded by the slot count).
    std::string walkFree(std::vector<uint32_t>& out) const {
        out.clear();
        uint32_t id = freeHead();
        while (id != kEnd) {
            if (id >= numSlots())
                return "free id " + std::to_string(id) + " out of range";
            if (out.size() >= numSlots())
                return "free list longer than the slot count";
            out.push_back(id);
            const RawSlot s = slot(id);
            if ((s.flags & 1u) != 0)
                return "free slot " + std::to_string(id) + " occupied";
            id = s.next;
        }
        return "";
    }
};

// ----- damaging and probing a live table -----

template <class Writer>
char* slotOf(Writer& w, uint32_t id) {
    return w.slotTable().slots()[id];
}

// The slot that holds key (the key must be present).
template <class Writer>
uint32_t slotIdOf(Writer& w, uint64_t key) {
    bool found = false;
    const auto* v = w.lookup(CounterIndex(key), found, nullptr);
    if (!found)
        throw std::runtime_error("key " + std::to_string(key) + " not in the table");
    const char* slot = reinterpret_cast<const char*>(v) - sizeof(Vesk::SlotHead);
    return uint32_t((slot - w.slotTable().slots().base) / Writer::Table::slotSize);
}
// Byte offset of a slot's field in the slot file.
template <class Writer>
uint64_t slotOffset(uint32_t id, uint64_t field = 0) {
    return Writer::Table::headerSize + uint64_t(id) * Writer::Table::slotSize + field;
}

// The first `count` keys at or after `from` whose hash under the table's seed falls into
// `bucket` of `numBuckets`.
template <class Writer>
std::vector<uint64_t> keysInBucket(Writer& w, uint32_t bucket, uint32_t numBuckets, size_t count,
                                   uint64_t from = 1) {
    std::vector<uint64_t> keys;
    for (uint64_t k = from; keys.size() < count; ++k) {
        if (w.hashKeyValue(k) % numBuckets == bucket)
            keys.push_back(k);
    }
    return keys;
}

}  // namespace VeskTest
