// The reader's fuzz target (libFuzzer; fuzz/run.sh builds and runs it): hostile "slots" and
// "buckets" files.
//
// An input is a table: bytes 0..3 the length of the slots part (u32, little endian, clamped to
// what follows), byte 4 the mode, then the slots part and the buckets part. Mode bits 0-1 name the
// record kind (tools/RecordKinds.h, by position); bit 2 recomputes the slot header's checksum, so
// that damage to the header's constant fields gets past it; bit 3 gives the bucket header the
// slot header's cinder id, so that both files name one generation. The target publishes the
// files with a cinder file naming that id, then
//  1. a reader attaches, looks up keys (those of the first slots and of the lookaside slot, fixed
//     ones, and the input's last 8 bytes), continues from hints made of input bytes, and iterates
//     the whole table until the reader ends the iteration. No walk has a bound of its own here: a
//     table that makes one loop is a hang, which libFuzzer's -timeout reports;
//  2. a writer attaches to a copy of the files (it may re-format them) and validates them.
// A Pimbo exception, a refusal and an answer are all fine; a crash, a sanitizer report, a read
// into a guard page, a hang or another exception is a finding.
//
// VESK_FUZZ_MAKE_CORPUS=<dir> writes seed inputs into <dir> and exits: tables of every kind made
// by the real writer (empty, small, grown, shrunk) and damaged copies of them.
#include "../tools/RecordKinds.h"
#include "Mem/RootPath.h"
#include "Plinth/CinderFile.h"
#include "Vesk/SlotTable.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

namespace {

using namespace VeskTool;
using Bytes = std::vector<unsigned char>;
using Header = Vesk::SlotTableHeader;
constexpr size_t kPrefix = 5;
constexpr uint8_t kFixChecksum = 0x4, kSameCinder = 0x8;
constexpr size_t kBucketCinder = 12, kBuckets = 24;  // offsets in the bucket file
const Plinth::CinderId kSeedCinder(7, 1);

Pimbo::Platform::DebugHandler& handler() {
    static auto h = Pimbo::Platform::getDebugHandler("FuzzReader");
    return *h;
}

template <class U>
U get(const Bytes& b, size_t at) {
    U v{};
    if (at + sizeof(U) <= b.size())
        std::memcpy(&v, b.data() + at, sizeof(U));
    return v;
}
template <class U>
void put(Bytes& b, size_t at, U v) {
    if (at + sizeof(U) <= b.size())
        std::memcpy(b.data() + at, &v, sizeof(U));
}

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void writeAll(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The table's two files and a cinder file naming `id`, under `name`.
void publish(const char* name, const Bytes& slots, const Bytes& buckets, Plinth::CinderId id) {
    Mem::RootPath rp(handler(), name, true);
    rp.ensureDirectory();
    writeAll(rp.filePath("slots"), slots);
    writeAll(rp.filePath("buckets"), buckets);
    Plinth::CinderFile(handler(), rp, true).write(id);
}

// Runs f; a Pimbo exception is an allowed answer.
void allowed(const std::function<void()>& f) {
    try {
        f();
    } catch (const Pimbo::Exception&) {
    }
}

template <class Ops>
void runTable(const Bytes& slots, const Bytes& buckets, Plinth::CinderId id, uint64_t probe) {
    using Value = typename Ops::Value;
    constexpr size_t slotSize = Vesk::SlotTable<Ops>::slotSize;
    constexpr size_t headerSize = Vesk::SlotTable<Ops>::headerSize;
    publish("fuzz/counter", slots, buckets, id);
    {
        Vesk::VeskReader<Ops> reader(handler(), "fuzz/counter", Ops{}, nullptr);
        std::vector<uint64_t> keys = {0, 1, 2, ~0ull, 1ull << 63, probe};
        // The keys of the lookaside slot (just before slot 0) and of slots 0..5.
        for (size_t at = headerSize - slotSize + 16; at < headerSize + 6 * slotSize; at += slotSize)
            keys.push_back(get<uint64_t>(slots, at));
        const size_t tail = buckets.size() < 12 ? 0 : buckets.size() - 12;
        const Vesk::IterHint hints[] = {
            {0, 0, 0},
            {~0u, ~0u, ~0u},
            {1, 1, 1},
            {get<uint32_t>(buckets, tail), get<uint32_t>(buckets, tail + 4),
             get<uint32_t>(buckets, tail + 8)}};
        bool attached = false;
        allowed([&] { attached = reader.initialize("fuzz"); });
        for (size_t i = 0; attached && i < keys.size(); ++i) {
            Value v{};
            bool found = false;
            allowed([&] {
                reader.lookup(CounterIndex(keys[i]), found, &v);
                if (found)
                    reader.validateVersionAnchor();
                reader.lookup(CounterIndex(keys[i]), found, nullptr);
            });
            for (Vesk::IterHint hint : hints)
                allowed([&] { reader.next(CounterIndex(keys[i]), v, hint); });
        }
        allowed([&] {
            Value v{};
            Vesk::IterHint hint;
            for (bool more = attached && reader.first(v, hint); more;
                 more = reader.next(Ops::key(v), v, hint)) {
            }
            (void)reader.members();
            (void)reader.readerCounters();
            (void)reader.dumpHeaders();
        });
    }
    publish("copy/counter", slots, buckets, id);
    Vesk::MapDescriptor d(100000);
    d.shrinkSlots = d.shrinkBuckets = 1;
    Vesk::VeskWriter<Ops> writer(handler(), "copy/counter", d, Ops{}, "FuzzReader");
    allowed([&] {
        writer.attach(id);
        (void)writer.validate(id, false);
    });
}

// ----- the seed corpus -----

void writeInput(const std::string& path, const Bytes& slots, const Bytes& buckets, uint8_t mode) {
    Bytes in(kPrefix);
    put<uint32_t>(in, 0, uint32_t(slots.size()));
    in[4] = mode;
    in.insert(in.end(), slots.begin(), slots.end());
    in.insert(in.end(), buckets.begin(), buckets.end());
    writeAll(path, in);
}

// Tables made by the real writer. Where a bucket's chain holds two records a, b in a row, also
// a "walk" seed: b links back to a, and the probe key (the input's last 8 bytes) sorts after
// both in that bucket, so its lookup walks a, b, a, ... until the reader's bound ends it. (The
// other damaged seeds in fuzz/corpus/ were made from these by hand-written damage; they stay as
// data.)
template <class Ops>
void makeSeeds(const std::string& dir, uint8_t kind) {
    using K = Kind<Ops>;
    constexpr size_t slotSize = Vesk::SlotTable<Ops>::slotSize;
    constexpr size_t headerSize = Vesk::SlotTable<Ops>::headerSize;
    struct Shape {
        const char* name;
        uint64_t inserts, dropEvery;  // then removes keys k % dropEvery == 0 (1: all but a tenth)
    };
    for (const Shape& s :
         {Shape{"empty", 0, 0}, {"small", 12, 3}, {"grown", 100, 0}, {"shrunk", 200, 1}}) {
        Vesk::MapDescriptor d(100000);
        d.shrinkSlots = d.shrinkBuckets = 1;
        Vesk::VeskWriter<Ops> w(handler(), std::string("gen/") + K::kName + "/" + s.name, d, Ops{},
                                "FuzzReader");
        w.attach(kSeedCinder);
        typename Ops::Value v{};
        for (uint64_t k = 1; k <= s.inserts; ++k)
            w.write(K::make(k * 7, k), true);
        for (uint64_t k = 1; k <= s.inserts && s.dropEvery != 0; ++k) {
            if (s.dropEvery == 1 ? k % 10 != 0 : k % s.dropEvery == 0)
                w.remove(CounterIndex(k * 7), v);
        }
        // The files keep their length when the writer shrinks: only what the counts cover.
        Bytes slots = readAll(w.slotTable().fileName());
        slots.resize(std::min<size_t>(slots.size(), headerSize + w.capacity() * slotSize));
        Bytes buckets = readAll(w.hashMap().bucketWriter().fileName());
        buckets.resize(std::min<size_t>(buckets.size(), kBuckets + 8 * size_t(w.buckets())));
        const std::string base = dir + "/" + K::kName + "-" + s.name;
        writeInput(base, slots, buckets, kind);

        auto bucket = [&](uint64_t key) { return w.hashKeyValue(key) % w.buckets(); };
        auto slot = [&](uint64_t key) {
            bool found = false;
            const auto* at = reinterpret_cast<const char*>(w.lookup(CounterIndex(key), found, 0));
            return uint32_t((at - 16 - w.slotTable().slots().base) / slotSize);
        };
        Vesk::IterHint hint;
        uint64_t a = ~0ull;
        for (bool more = w.first(v, hint); more; more = w.next(Ops::key(v), v, hint)) {
            const uint64_t b = Ops::key(v).value();
            if (a != ~0ull && bucket(a) == bucket(b)) {
                put<uint32_t>(slots, headerSize + slot(b) * slotSize + 4, slot(a));
                uint64_t probe = 1;
                while (bucket(probe) != bucket(b) ||
                       std::make_pair(Pimbo::Util::reverse(w.hashKeyValue(probe)), probe) <=
                           std::make_pair(Pimbo::Util::reverse(w.hashKeyValue(b)), b))
                    ++probe;
                buckets.resize(buckets.size() + 8);
                put<uint64_t>(buckets, buckets.size() - 8, probe);
                writeInput(base + "-walk", slots, buckets, kind);
                break;
            }
            a = b;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Traces cost time and fill the log; the findings are what the sanitizers and libFuzzer say.
    Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
    handler().levelMaskIs(0);
    // A private root for this process, removed at exit.
    static std::string root = "/dev/shm/vesk-fuzz-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    Mem::RootPath::rootIs(root);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    });
    if (const char* dir = std::getenv("VESK_FUZZ_MAKE_CORPUS"); dir != nullptr && *dir != '\0') {
        std::filesystem::create_directories(dir);
        for (int kind = 0; kind < kKindCount; ++kind)
            withKind(kind, [&]<class Ops>() { makeSeeds<Ops>(dir, uint8_t(kind)); });
        std::printf("seed corpus written to %s\n", dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kPrefix)
        return 0;
    uint32_t slotsLen = 0;
    std::memcpy(&slotsLen, data, 4);
    slotsLen = uint32_t(std::min<size_t>(slotsLen, size - kPrefix));
    const uint8_t mode = data[4];
    Bytes slots(data + kPrefix, data + kPrefix + slotsLen);
    Bytes buckets(data + kPrefix + slotsLen, data + size);
    const Plinth::CinderId id(get<uint32_t>(slots, offsetof(Header, cinder)));
    if ((mode & kFixChecksum) != 0 && slots.size() >= sizeof(Header)) {
        alignas(8) unsigned char copy[sizeof(Header)];
        std::memcpy(copy, slots.data(), sizeof(Header));
        put(slots, offsetof(Header, hash),
            std::launder(reinterpret_cast<const Header*>(copy))->computeChecksum());
    }
    if ((mode & kSameCinder) != 0)
        put(buckets, kBucketCinder, id.value);
    uint64_t probe = 0;
    std::memcpy(&probe, data + size - std::min<size_t>(size, 8), std::min<size_t>(size, 8));
    withKind(mode & 3, [&]<class Ops>() { runTable<Ops>(slots, buckets, id, probe); });
    return 0;
}
