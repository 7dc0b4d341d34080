// The reader's fuzz target (libFuzzer; fuzz/run.sh builds and runs it): hostile "slots" and
// "buckets" files. An input: bytes 0..3 the length of the slots part (u32, clamped), byte 4 the
// mode, then the slots part and the buckets part. Mode bits 0-1 name the record kind (by position
// in tools/RecordKinds.h); bit 2 recomputes the slot header's checksum so that damage to its
// constant fields gets past it; bit 3 gives the bucket header the slot header's cinder id.
// A reader attaches, looks up keys (of the first slots, the lookaside slot, fixed ones and the
// input's last 8 bytes), continues from hints made of input bytes and iterates the whole table
// with no bound of its own (a loop is a hang, libFuzzer's -timeout reports it); then a writer
// attaches to a copy and validates it. A Pimbo exception, a refusal or an answer is fine; a
// crash, a sanitizer report, a read into a guard page, a hang or another exception is a finding.
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
#include <new>
#include <string>
#include <vector>

namespace {

using namespace VeskTool;
using Bytes = std::vector<unsigned char>;
using Header = Vesk::SlotTableHeader;
constexpr size_t kPrefix = 5;
constexpr uint8_t kFixChecksum = 0x4, kSameCinder = 0x8;
constexpr size_t kBucketCinder = 12;  // offset in the bucket file

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
