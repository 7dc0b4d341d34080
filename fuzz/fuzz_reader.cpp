// The reader's fuzz target (libFuzzer, built and run by fuzz/run.sh): hostile "slots",
// "buckets" and "notifications". Input: u32 length of the slots part, a mode byte (bits 0-1 the
// record kind of tools/RecordKinds.h, bit 2 re-computes the header checksums, bit 3 copies the
// slot header's cinder id into the bucket header, bit 4 adds a queue), the slots part, the
// buckets part and, with bit 4, the queue part and its u16 length last. A reader attaches, looks
// up, continues from hints and iterates with no bound of its own; a writer validates a copy. The
// queue file is a writer's ring of 3 buffers of 4 entries holding queue[0] % 16 entries, XORed
// with the queue part (longer parts extend the file); a follower attaches to it and follows it,
// by hand and through a Syncer batch. Only a Pimbo exception, a refusal or an answer is fine.
#include "../tools/RecordKinds.h"
#include "Plinth/CinderFile.h"
#include "Plinth/RootPath.h"
#include "Ruxa/RuxaReader.h"
#include "Ruxa/RuxaWriter.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"
#include "VeskBase/SlotTable.h"
#include "VeskShadow/Syncer.h"

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
constexpr uint8_t kFixChecksum = 0x4, kSameCinder = 0x8, kQueue = 0x10;
constexpr size_t kBucketCinder = 12;  // offset in the bucket file

Pimbo::Platform::DebugHandler& handler() {
    return *Pimbo::Platform::getDebugHandler("FuzzReader");
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

// A damaged queue beside the fuzzed table, and a follower of it.
void runQueue(const Bytes& part, Plinth::CinderId id, bool fixChecksum) {
    using Layout = Ruxa::QueueLayout;
    const Vesk::RootPath path(handler(), "fuzz/counter", true);
    std::filesystem::remove(path.filePath(Layout::kFileName));
    {
        Vesk::Writer::Counters wc;
        Ruxa::RuxaWriter writer(handler(), path, wc, {3, 4});
        writer.attach(id);
        for (uint32_t i = 0; i < (part.empty() ? 0u : part[0] % 16u); ++i)
            writer.publish(i * 3);
        writer.detach();
    }
    Bytes file;
    {
        std::ifstream in(path.filePath(Layout::kFileName), std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (part.size() > file.size())
        file.resize(part.size());
    for (size_t i = 0; i < part.size(); ++i)
        file[i] ^= part[i];
    if (fixChecksum && file.size() >= Layout::kHeaderSize)
        put(file, offsetof(Ruxa::QueueFileHeader, checksum), Ruxa::queueChecksum(file.data()));
    writeAll(path.filePath(Layout::kFileName), file);

    const Vesk::RootPath readerPath(handler(), "fuzz/counter", false);
    Vesk::Reader::Counters rc;
    Ruxa::RuxaReader<Ruxa::BasicSlot> reader(handler(), readerPath, rc);
    std::string why;
    allowed([&] {
        if (!reader.attach(why))
            return;
        uint32_t slot;
        uint64_t sequence;
        for (int i = 0; i < 64 && reader.next(slot, sequence) ==
                                      Ruxa::RuxaReader<Ruxa::BasicSlot>::Next::entry;
             ++i) {
            (void)reader.validateNotif();
        }
        (void)reader.quiesced();
    });
    allowed([&] {
        Vesk::Syncer syncer(
            reader, readerPath, [](uint32_t, uint64_t) {}, [] { return true; });
        syncer.start();
        // The first run: attaches again when the reader lost its place, applies one batch.
        Pimbo::eventLoop().poll(5);
    });
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
        // The keys of the lookaside slot (just before slot 0), slots 0..5, then hints.
        for (size_t at = headerSize - slotSize + 16; at < headerSize + 6 * slotSize; at += slotSize)
            keys.push_back(get<uint64_t>(slots, at));
        const size_t tail = buckets.size() < 12 ? 0 : buckets.size() - 12;
        const auto at = [&](size_t i) { return get<uint32_t>(buckets, tail + i); };
        const Vesk::IterHint hints[] = {
            {0, 0, 0}, {~0u, ~0u, ~0u}, {1, 1, 1}, {at(0), at(4), at(8)}};
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
            std::vector<CounterIndex> many(keys.begin(), keys.end());
            std::vector<Value> out(many.size());
            std::unique_ptr<bool[]> found(new bool[many.size()]);
            if (attached) {
                reader.scan([](const Value&) {});
                reader.lookupMany(many.data(), many.size(), out.data(), found.get());
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
    Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
    handler().levelMaskIs(0);
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
    const uint8_t mode = data[4];
    Bytes queue;
    if ((mode & kQueue) != 0 && size >= kPrefix + 2) {
        uint16_t queueLen = 0;
        std::memcpy(&queueLen, data + size - 2, 2);
        size -= 2;
        queueLen = uint16_t(std::min<size_t>(queueLen, size - kPrefix));
        queue.assign(data + size - queueLen, data + size);
        size -= queueLen;
    }
    slotsLen = uint32_t(std::min<size_t>(slotsLen, size - kPrefix));
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
    if ((mode & kQueue) != 0)
        runQueue(queue, id, (mode & kFixChecksum) != 0);
    return 0;
}
