// Hostile files for the reader and for the writer's validation.
//
// One input is a table: a prefix, the bytes of the "slots" file and the bytes of the "buckets"
// file. The target writes them into a private root with a valid cinder file whose id is the slot
// header's cinder field, then
//   1. a VeskReader of the record type the prefix names attaches (initialize), looks a few keys
//      up (keys found in the slot bytes, fixed keys, keys from the input), continues from hints
//      made of input bytes, and iterates the whole table with first/next until the reader says
//      the iteration ended. The iteration has no bound of its own here: a table that makes it
//      loop forever is a hang, and libFuzzer's -timeout reports it;
//   2. a VeskWriter attaches to a copy of the same files (it may re-format them, so it never
//      sees the reader's) and validates them.
// Allowed outcomes: a Pimbo exception (Pimbo::CorruptionDetectedException and its siblings), false
// from initialize or validate, or a clean answer. Anything else (a crash, a sanitizer report, a
// read past a mapping into its PROT_NONE guard page, a hang, an exception of another kind) is a
// finding.
//
// Input layout:
//   bytes 0..3  u32 (little endian): length of the slots part (clamped to what follows)
//   byte  4     mode: bits 0-1 the record type (Simple, Normal, Wide, Bitmap64); bit 2: the
//               target recomputes the slot header's checksum, so mutations of the header's
//               constant fields get past it (half of all inputs); bit 3: the bucket header's
//               cinder id is set to the slot header's, so both files name one generation
//   bytes 5..   the slots part, then the buckets part
//
// Seed corpus: with VESK_FUZZ_MAKE_CORPUS=<dir> the target writes tables made by the real writer
// (every record type; empty, small, grown and shrunk, and deliberately damaged) into <dir> and
// exits.
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Mem/RootPath.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Plinth/CinderFile.h"
#include "Vesk/SlotTable.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

using namespace DravoCounters::FlexCounters2;
using Bytes = std::vector<unsigned char>;

constexpr size_t kPrefix = 5;
constexpr uint8_t kTypeMask = 0x3;
constexpr uint8_t kFixChecksum = 0x4;
constexpr uint8_t kSameCinder = 0x8;
constexpr size_t kSlotHeaderBytes = sizeof(Vesk::SlotTableHeader);
constexpr size_t kChecksumOffset = offsetof(Vesk::SlotTableHeader, hash);
constexpr size_t kCinderOffset = offsetof(Vesk::SlotTableHeader, cinder);
constexpr size_t kBucketCinderOffset = 12;
constexpr size_t kSlotHeadBytes = sizeof(Vesk::SlotHead);

const char* const kReaderTable = "fuzz/counter";
const char* const kWriterTable = "copy/counter";

std::shared_ptr<Pimbo::Platform::DebugHandler> handler() {
    static auto h = Pimbo::Platform::getDebugHandler("FuzzReader");
    return h;
}

std::string rootDir;

void removeRoot() {
    if (!rootDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(rootDir, ec);
    }
}

// A private root for this process (tmpfs when there is one), removed at exit.
void makeRoot() {
    std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/vesk-fuzz-XXXXXX"
                                                                    : "/tmp/vesk-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    rootDir = pattern;
    Mem::RootPath::rootIs(rootDir);
    std::atexit(removeRoot);
}

// Replaces a file's bytes (the file is created when missing).
void putFile(const std::string& path, const unsigned char* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            std::perror(path.c_str());
            std::abort();
        }
        done += size_t(n);
    }
    ::close(fd);
}

uint32_t readU32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint64_t readU64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The checksum the slot header of these bytes should carry (the bytes hold at least a header).
uint32_t slotHeaderChecksum(const unsigned char* bytes) {
    alignas(8) unsigned char copy[kSlotHeaderBytes];
    std::memcpy(copy, bytes, kSlotHeaderBytes);
    return std::launder(reinterpret_cast<const Vesk::SlotTableHeader*>(copy))->computeChecksum();
}

// One table: the files of the reader's table and of the writer's copy, and the cinder file of
// each.
struct Table {
    Bytes slots;
    Bytes buckets;
    uint8_t mode = 0;
    Plinth::CinderId cinder;
};

// Splits an input into its parts and applies the fixes the mode asks for.
bool parse(const uint8_t* data, size_t size, Table& t) {
    if (size < kPrefix)
        return false;
    const size_t rest = size - kPrefix;
    size_t slotsLen = readU32(data);
    if (slotsLen > rest)
        slotsLen = rest;
    t.mode = data[4];
    t.slots.assign(data + kPrefix, data + kPrefix + slotsLen);
    t.buckets.assign(data + kPrefix + slotsLen, data + size);
    if (t.slots.size() >= kCinderOffset + 4)
        t.cinder = Plinth::CinderId(readU32(t.slots.data() + kCinderOffset));
    if ((t.mode & kFixChecksum) != 0 && t.slots.size() >= kSlotHeaderBytes) {
        const uint32_t sum = slotHeaderChecksum(t.slots.data());
        std::memcpy(t.slots.data() + kChecksumOffset, &sum, 4);
    }
    if ((t.mode & kSameCinder) != 0 && t.buckets.size() >= kBucketCinderOffset + 4)
        std::memcpy(t.buckets.data() + kBucketCinderOffset, &t.cinder.value, 4);
    return true;
}

// Writes a table's two files and its cinder file under `name`.
void publish(const std::string& name, const Table& t) {
    Mem::RootPath rp(*handler(), name, true);
    rp.ensureDirectory();
    putFile(rp.filePath("slots"), t.slots.data(), t.slots.size());
    putFile(rp.filePath("buckets"), t.buckets.data(), t.buckets.size());
    Plinth::CinderFile(*handler(), rp, true).write(t.cinder);
}

// Keys worth looking up: those in the first slots and in the lookaside slot of the slot bytes,
// and a few fixed ones.
template <class Ops>
std::vector<uint64_t> probeKeys(const Table& t) {
    constexpr size_t slotSize = Vesk::SlotTable<Ops>::slotSize;
    constexpr size_t headerSize = Vesk::SlotTable<Ops>::headerSize;
    std::vector<uint64_t> keys = {0, 1, 2, 0xFFFFFFFFFFFFFFFFull, 0x8000000000000000ull};
    if (t.slots.size() >= kSlotHeaderBytes + kSlotHeadBytes + 8)
        keys.push_back(readU64(t.slots.data() + kSlotHeaderBytes + kSlotHeadBytes));
    for (size_t i = 0; i < 6; ++i) {
        const size_t at = headerSize + i * slotSize + kSlotHeadBytes;
        if (at + 8 > t.slots.size())
            break;
        keys.push_back(readU64(t.slots.data() + at));
    }
    return keys;
}

// Hints made of the buckets part's last bytes: the fast path of next() must be safe with any.
std::vector<Vesk::IterHint> hostileHints(const Table& t) {
    std::vector<Vesk::IterHint> hints = {Vesk::IterHint{0, 0, 0},
                                         Vesk::IterHint{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
                                         Vesk::IterHint{1, 1, 1}};
    if (t.buckets.size() >= 12) {
        const unsigned char* p = t.buckets.data() + t.buckets.size() - 12;
        hints.push_back(Vesk::IterHint{readU32(p), readU32(p + 4), readU32(p + 8)});
    }
    return hints;
}

template <class Ops>
void readTable(const Table& t) {
    using Value = typename Ops::Value;
    Vesk::VeskReader<Ops> reader(*handler(), kReaderTable, Ops{}, nullptr);
    try {
        if (!reader.initialize("fuzz"))
            return;
    } catch (const Pimbo::Exception&) {
        return;
    }
    for (const uint64_t k : probeKeys<Ops>(t)) {
        try {
            bool found = false;
            Value buffer{};
            reader.lookup(CounterIndex(k), found, &buffer);
            if (found)
                reader.validateVersionAnchor();
            reader.lookup(CounterIndex(k), found, nullptr);
        } catch (const Pimbo::Exception&) {
        }
        for (const Vesk::IterHint& h : hostileHints(t)) {
            try {
                Value out{};
                Vesk::IterHint hint = h;
                reader.next(CounterIndex(k), out, hint);
            } catch (const Pimbo::Exception&) {
            }
        }
    }
    // The whole table, bounded only by the reader itself.
    try {
        Value v{};
        Vesk::IterHint hint;
        for (bool more = reader.first(v, hint); more; more = reader.next(Ops::key(v), v, hint)) {
        }
    } catch (const Pimbo::Exception&) {
    }
    try {
        (void)reader.members();
        (void)reader.maxSize();
        (void)reader.readerCounters();
        (void)reader.dumpHeaders();
    } catch (const Pimbo::Exception&) {
    }
    reader.detach(false);
}

template <class Ops>
void validateCopy(const Table& t) {
    Vesk::MapDescriptor d(100000);
    d.shrinkSlots = 1;
    d.shrinkBuckets = 1;
    Vesk::VeskWriter<Ops> writer(*handler(), kWriterTable, d, Ops{}, "FuzzReader");
    try {
        writer.attach(t.cinder);
        (void)writer.validate(t.cinder, false);
    } catch (const Pimbo::Exception&) {
    }
}

template <class Ops>
void runTable(const Table& t) {
    publish(kReaderTable, t);
    readTable<Ops>(t);
    publish(kWriterTable, t);
    validateCopy<Ops>(t);
}

// ----- the seed corpus -----

template <class Ops>
struct Maker;
template <>
struct Maker<CounterEntrySimpleOps> {
    static CounterEntrySimple make(uint64_t k) {
        CounterEntrySimple v{CounterIndex(k)};
        v.packetsIs(k * 3);
        v.octetsIs(k * 1500);
        return v;
    }
};
template <>
struct Maker<CounterEntryNormalOps> {
    static CounterEntryNormal make(uint64_t k) {
        CounterEntryNormal v{CounterIndex(k)};
        v.counterAIs(k);
        v.counterBIs(~k);
        return v;
    }
};
template <>
struct Maker<CounterEntryWideOps> {
    static CounterEntryWide make(uint64_t k) { return CounterEntryWide{CounterIndex(k)}; }
};
template <>
struct Maker<CounterEntryBitmap64Ops> {
    static CounterEntryBitmap64 make(uint64_t k) {
        CounterEntryBitmap64 v{CounterIndex(k)};
        v.bitsIs(k * 0x9E3779B97F4A7C15ull);
        return v;
    }
};

Bytes readWhole(const std::string& path) {
    Bytes out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    unsigned char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    ::close(fd);
    return out;
}

void writeInput(const std::string& dir, const std::string& name, const Bytes& slots,
                const Bytes& buckets, uint8_t mode) {
    Bytes in(kPrefix);
    const uint32_t len = uint32_t(slots.size());
    std::memcpy(in.data(), &len, 4);
    in[4] = mode;
    in.insert(in.end(), slots.begin(), slots.end());
    in.insert(in.end(), buckets.begin(), buckets.end());
    putFile(dir + "/" + name, in.data(), in.size());
}

template <class U>
void poke(Bytes& b, size_t at, U v) {
    if (at + sizeof(U) <= b.size())
        std::memcpy(b.data() + at, &v, sizeof(U));
}

constexpr uint32_t kNoPair = 0xFFFFFFFF;

// The slot ids of two records that follow each other in the chain of one bucket.
template <class Ops>
void findPair(Vesk::VeskWriter<Ops>& w, uint32_t& first, uint32_t& second) {
    const uint32_t n = w.buckets();
    const char* base = w.slotTable().slots().base;
    auto slotOf = [&](uint64_t key) {
        bool found = false;
        const auto* v = w.lookup(CounterIndex(key), found, nullptr);
        const char* slot = reinterpret_cast<const char*>(v) - kSlotHeadBytes;
        return uint32_t((slot - base) / Vesk::SlotTable<Ops>::slotSize);
    };
    typename Ops::Value v{};
    Vesk::IterHint hint;
    bool have = false;
    uint64_t previous = 0;
    for (bool more = w.first(v, hint); more; more = w.next(Ops::key(v), v, hint)) {
        const uint64_t key = Ops::key(v).value();
        if (have && w.hashKeyValue(key) % n == w.hashKeyValue(previous) % n) {
            first = slotOf(previous);
            second = slotOf(key);
            return;
        }
        have = true;
        previous = key;
    }
}

// Valid tables made by the real writer, and damaged copies of them.
template <class Ops>
void makeSeeds(const std::string& dir, uint8_t type, const char* typeName) {
    constexpr size_t slotSize = Vesk::SlotTable<Ops>::slotSize;
    constexpr size_t headerSize = Vesk::SlotTable<Ops>::headerSize;
    const Plinth::CinderId cinder(7, 1);
    struct Shape {
        const char* name;
        uint64_t inserts;
        uint64_t removeEvery;  // remove every n-th key afterwards (0: none)
        bool damaged;          // damaged copies are written too
    };
    const Shape shapes[] = {{"empty", 0, 0, false},
                            {"small", 12, 3, true},
                            {"grown", 100, 0, false},
                            {"shrunk", 200, 1, true}};
    for (const Shape& s : shapes) {
        const std::string name = std::string("gen/") + typeName + "/" + s.name;
        Bytes slots, buckets;
        // Two records that follow each other in one bucket's chain (slot ids), if any.
        uint32_t firstOfPair = kNoPair, secondOfPair = kNoPair;
        {
            Vesk::MapDescriptor d(100000);
            d.shrinkSlots = 1;
            d.shrinkBuckets = 1;
            Vesk::VeskWriter<Ops> w(*handler(), name, d, Ops{}, "FuzzReader");
            w.attach(cinder);
            for (uint64_t k = 1; k <= s.inserts; ++k)
                w.write(Maker<Ops>::make(k * 7), true);
            if (s.removeEvery != 0) {
                typename Ops::Value removed;
                for (uint64_t k = 1; k <= s.inserts; ++k) {
                    // "shrunk" keeps one key in ten, which shrinks both arrays.
                    const bool drop = s.removeEvery == 1 ? k % 10 != 0 : k % s.removeEvery == 0;
                    if (drop)
                        w.remove(CounterIndex(k * 7), removed);
                }
            }
            if (!w.validate(cinder, false)) {
                std::fprintf(stderr, "seed %s does not validate: %s\n", name.c_str(),
                             w.lastValidationFailure().c_str());
                std::exit(1);
            }
            findPair(w, firstOfPair, secondOfPair);
            // The files keep their length when the writer shrinks; the tail beyond the counts
            // is zero and only makes the seeds longer.
            slots = readWhole(w.slotTable().fileName());
            slots.resize(std::min<size_t>(slots.size(), headerSize + w.capacity() * slotSize));
            buckets = readWhole(w.hashMap().bucketWriter().fileName());
            buckets.resize(std::min<size_t>(buckets.size(), 24 + 8 * size_t(w.buckets())));
        }
        const std::string base = std::string(typeName) + "-" + s.name;
        writeInput(dir, base, slots, buckets, type);
        if (!s.damaged)
            continue;
        // Damaged copies; the checksum is recomputed by the target (mode bit) where the damage
        // touches the header's constant fields.
        {
            Bytes b = slots;  // the writer died inside a change
            poke<uint16_t>(b, offsetof(Vesk::SlotTableHeader, runtimeFlags), 1);
            writeInput(dir, base + "-critical", b, buckets, type);
        }
        {
            Bytes b = slots;  // slot 1 links back to slot 0: a cycle in a chain
            poke<uint32_t>(b, headerSize + 1 * slotSize + 4, 0);
            poke<uint32_t>(b, headerSize + 0 * slotSize + 4, 1);
            writeInput(dir, base + "-cycle", b, buckets, type);
        }
        if (secondOfPair != kNoPair) {
            // The second of two records in one bucket links back to the first: every check of
            // the walk (occupied, in the bucket, in range) passes, only the order is wrong.
            Bytes b = slots;
            poke<uint32_t>(b, headerSize + secondOfPair * slotSize + 4, firstOfPair);
            writeInput(dir, base + "-loop", b, buckets, type);
        }
        {
            Bytes b = slots;  // more slots announced than the file holds
            poke<uint32_t>(b, offsetof(Vesk::SlotTableHeader, numSlots) + 4, 0x00FFFFFF);
            writeInput(dir, base + "-numslots", b, buckets, type);
        }
        {
            Bytes b = slots;  // another hash seed (the checksum fixed by the target)
            poke<uint32_t>(b, offsetof(Vesk::SlotTableHeader, hashSeed), 0x12345678);
            writeInput(dir, base + "-seed", b, buckets, uint8_t(type | kFixChecksum));
        }
        {
            Bytes b = slots;  // a slot id beyond the table in a link
            poke<uint32_t>(b, headerSize + 0 * slotSize + 4, 0x7FFFFFF0);
            writeInput(dir, base + "-farslot", b, buckets, type);
        }
        {
            Bytes b = buckets;  // bucket 0 continues with a bucket out of order
            poke<uint32_t>(b, 24 + 4, 0x80000000u | 3);
            writeInput(dir, base + "-marker", slots, b, type);
        }
        {
            Bytes b = buckets;  // twice the buckets the file holds
            poke<uint32_t>(b, 20, readU32(buckets.data() + 20) * 2);
            writeInput(dir, base + "-numbuckets", slots, b, type);
        }
        {
            Bytes b(slots.begin(), slots.begin() + std::min(slots.size(), headerSize + slotSize));
            writeInput(dir, base + "-truncated", b, buckets, type);
        }
    }
}

void makeCorpus(const std::string& dir) {
    std::filesystem::create_directories(dir);
    makeSeeds<CounterEntrySimpleOps>(dir, 0, "simple");
    makeSeeds<CounterEntryNormalOps>(dir, 1, "normal");
    makeSeeds<CounterEntryWideOps>(dir, 2, "wide");
    makeSeeds<CounterEntryBitmap64Ops>(dir, 3, "bitmap64");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Traces cost time and fill the log; the findings are what the sanitizers and libFuzzer say.
    Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
    handler()->levelMaskIs(0);
    makeRoot();
    if (const char* dir = std::getenv("VESK_FUZZ_MAKE_CORPUS"); dir != nullptr && *dir != '\0') {
        makeCorpus(dir);
        std::printf("seed corpus written to %s\n", dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Table t;
    if (!parse(data, size, t))
        return 0;
    switch (t.mode & kTypeMask) {
        case 0:
            runTable<CounterEntrySimpleOps>(t);
            break;
        case 1:
            runTable<CounterEntryNormalOps>(t);
            break;
        case 2:
            runTable<CounterEntryWideOps>(t);
            break;
        default:
            runTable<CounterEntryBitmap64Ops>(t);
            break;
    }
    return 0;
}
