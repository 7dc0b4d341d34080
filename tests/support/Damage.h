// The kinds of damage a crashed or buggy writer, a stray store or a careless hand can leave in a
// table's files, each with what every part that meets it says: the writer's full validation
// (which a restart traces before it re-formats), the writer's walks, a reader's attach and walks,
// and the read-only checker behind `vesk check`. The test of each part runs the rows that fill
// its column, so one damage is described once and every part is held to its own answer.
#pragma once

#include "support/Tables.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <string_view>

namespace VeskTest {

struct DamageKind;

// A table of simple records (each key k written as Kind::make(k, 1)) by a live, started writer in
// the current root, which grows and shrinks both its slots and its buckets, damaged by one kind.
// Damage goes into the files; the writer sees it through its shared mapping.
struct DamagedTable {
    using Ops = CounterEntrySimpleOps;
    using Writer = Vesk::VeskWriter<Ops>;

    explicit DamagedTable(const DamageKind& kind, const std::string& name = kTableName);

    void put(uint64_t k) { w->write(Kind<Ops>::make(k, 1), true); }
    void puts(uint64_t from, uint64_t to) {
        for (uint64_t k = from; k < to; ++k)
            put(k);
    }
    void del(uint64_t k) {
        Ops::Value removed;
        w->remove(CounterIndex(k), removed);
    }
    // Writes `count` keys of bucket b of n; returns them in table order.
    std::vector<uint64_t> chain(uint32_t b, uint32_t n, size_t count) {
        std::vector<uint64_t> keys = keysInBucket(*w, b, n, count);
        const auto rhash = [&](uint64_t k) { return Pimbo::Util::reverse(w->hashKeyValue(k)); };
        std::sort(keys.begin(), keys.end(), [&](uint64_t x, uint64_t y) {
            return std::pair(rhash(x), x) < std::pair(rhash(y), y);
        });
        for (uint64_t k : keys)
            put(k);
        return keys;
    }
    uint32_t slot(uint64_t k) { return slotIdOf(*w, k); }
    std::string file(const char* name) const { return dir + "/" + name; }
    template <class T>
    void setSlots(uint64_t off, T v) {
        pwriteValue(file("slots"), off, v);
    }
    void link(uint32_t from, uint32_t to) {
        setSlots(slotOffset<Writer>(from, Off::kLinkNext), to);
    }
    void bucketLink(uint32_t b, uint32_t to) {
        pwriteValue(file("buckets"), Off::kBuckets + 8 * b + 4, to);
    }
    void flags(uint32_t id, uint32_t set, uint32_t clear = 0) {
        Vesk::setFlags(slotOf(*w, id), (Vesk::loadFlags(slotOf(*w, id)) | set) & ~clear);
    }
    // A text of the table below with {0} to {3} standing for n, {cinder} for the generation.
    std::string says(std::string_view text) const {
        return fmt::format(fmt::runtime(text), n[0], n[1], n[2], n[3],
                           fmt::arg("cinder", cinder.toString()));
    }
    // "" when `got` holds the text `expected` ("": when it is empty too; none: always), else
    // what differed.
    std::string differs(const char* step, const std::string& got, const char* expected) const {
        const std::string want = expected != nullptr ? says(expected) : "";
        if (expected == nullptr || (want.empty() ? got.empty() : got.find(want) != got.npos))
            return "";
        return fmt::format("{}: \"{}\" not \"{}\"; ", step, got, want);
    }

    std::unique_ptr<Writer> w;
    std::string dir;              // the table's directory
    Plinth::CinderId cinder;      // its generation
    std::array<uint64_t, 4> n{};  // the numbers the texts name
    uint64_t probe = 0;           // the key the walks look for
};

// The writer's walks a damage may stop, one bit each (fill writes the 100 keys from the probe on).
namespace Walk {
constexpr unsigned lookup = 1, write = 2, remove = 4, directUpdate = 8, next = 16, first = 32,
                   iterate = 64, fill = 128;
}  // namespace Walk

// What a reader's walks say: a lookup of the probe and a next after it (without a hint), and a
// whole iteration. They run on every table a reader attaches to, and must end.
struct ReaderSays {
    ReaderSays() = default;
    explicit ReaderSays(const char* all) : walk(all), iteration(all) {}
    ReaderSays(const char* walk, const char* iteration) : walk(walk), iteration(iteration) {}
    const char* walk = nullptr;
    const char* iteration = nullptr;
};

// Each text is a part of what its part says; "" says nothing (no failure, nothing thrown), and
// none is not checked.
struct DamageKind {
    const char* what;
    std::function<void(DamagedTable&)> damage;  // writes the records it needs, then damages
    // The writer's validation: "" for a sound table; none where a live writer cannot meet the
    // damage (a file cut or removed under it). A restart re-formats for this reason, or for
    // `restart` where it meets the damage earlier.
    const char* validation = nullptr;
    unsigned walks = 0;            // the writer's walks that throw `thrown`
    const char* thrown = nullptr;  // or the validation's text when none
    std::string checker = "";      // the faults the checker reports, one a line; "": not run
    ReaderSays reader = {};
    const char* refusal = nullptr;  // why a reader's attach refuses; none: it attaches
    const char* restart = nullptr;
};

inline DamagedTable::DamagedTable(const DamageKind& kind, const std::string& name)
    : w(makeWriter<Ops>(shrinkingDescriptor(100000), name)) {
    if (!w->initialize("damaged"))
        throw std::runtime_error("cannot start the writer of " + name);
    dir = std::filesystem::path(slotsPath(*w)).parent_path();
    cinder = w->cinderId();
    kind.damage(*this);
}

// Three records (four buckets), then v stored at off of the slot file or of the bucket file.
inline std::function<void(DamagedTable&)> wordIs(bool buckets, uint64_t off, auto v) {
    return [=](DamagedTable& d) {
        d.puts(0, 3), d.probe = 3;
        pwriteValue(d.file(buckets ? "buckets" : "slots"), off, v);
    };
}

// LOOKASIDE left set on the i-th record of the table ({0} its flags, {1} its slot, {2} its key).
inline std::function<void(DamagedTable&)> stuckLookaside(size_t i) {
    return [i](DamagedTable& d) {
        d.puts(0, 20);
        const uint64_t key = iterateAll(*d.w)[i].key().value();
        const uint32_t id = d.slot(key);
        d.flags(id, Vesk::LOOKASIDE);
        d.n = {Vesk::loadFlags(slotOf(*d.w, id)), id, key};
    };
}

// Two records of bucket 0 of 2, the first ({0}, key {1}) spoilt by `spoil`; the walks look for
// the second.
inline std::function<void(DamagedTable&)> firstOfTwo(
    std::function<void(DamagedTable&, uint32_t)> spoil) {
    return [spoil](DamagedTable& d) {
        const auto keys = d.chain(0, 2, 2);
        d.n[0] = d.slot(keys[0]);
        d.n[1] = keys[0];
        d.probe = keys[1];
        spoil(d, uint32_t(d.n[0]));
    };
}

// Records a, b, c ({0}, {1}, {2}) follow each other in the chain of bucket 1 of 4; b's link is
// made `to(d)`; the walks look for c.
inline std::function<void(DamagedTable&)> linkOfB(std::function<uint32_t(DamagedTable&)> to) {
    return [to](DamagedTable& d) {
        const auto keys = d.chain(1, 4, 3);
        d.n = {d.slot(keys[0]), d.slot(keys[1]), d.slot(keys[2])};
        d.probe = keys[2];
        d.link(uint32_t(d.n[1]), to(d));
    };
}

// A header word damaged: v at off of the slot or the bucket file, after three records. The
// validation names it with `reason`; a reader refuses to attach for `refusal`, leaving the reason
// in the corruption marker; the checker reports the reason as a fault of that file's header.
inline DamageKind header(const char* what, bool buckets, uint64_t off, auto v, const char* reason,
                         const char* refusal) {
    return {
        .what = what,
        .damage = wordIs(buckets, off, v),
        .validation = reason,
        .checker = (buckets ? "bucket file header: " : "slot file header: ") + std::string(reason),
        .refusal = refusal};
}

// A whole file or the directory damaged, after three records; the live writer never looks at it
// again. A reader refuses to attach for `refusal`; the checker reports `checker`.
inline DamageKind files(const char* what, std::function<void(const std::string&)> damage,
                        const char* refusal, const char* checker = "") {
    return {.what = what,
            .damage = [damage](DamagedTable& d) { d.puts(0, 3), damage(d.dir); },
            .checker = checker,
            .refusal = refusal};
}

// 65 records, the first 33 removed (128 slots); the free slot {0} at the end, which a shrink to
// 64 slots leaves behind, marked occupied with key `key` (0: a slot never used); the removal of
// the probe shrinks.
inline std::function<void(DamagedTable&)> strayBeyondTheEnd(uint64_t key) {
    return [key](DamagedTable& d) {
        d.puts(0, 65);
        for (uint64_t k = 0; k < 33; ++k)
            d.del(k);
        std::vector<uint32_t> free;
        RawTable::of(*d.w).walkFree(free);
        d.n[0] = *std::max_element(free.begin(), free.end());
        d.flags(uint32_t(d.n[0]), Vesk::OCCUPIED);
        d.setSlots(slotOffset<DamagedTable::Writer>(uint32_t(d.n[0]), Off::kValue), key);
        d.probe = 33;
    };
}

inline const char* const kCycle = "hash chain cycle detected, slotCount:65 capacity:64";
inline const char* const kBack = "iteration went back";

// By columns: what, damage, validation, the writer's walks and what they throw, the checker's
// faults and what a reader says; the rest by name.
inline const std::vector<DamageKind>& damageKinds() {
    namespace fs = std::filesystem;
    namespace W = Walk;
    static const std::vector<DamageKind> kinds = {
        {"sound table", [](auto& d) { d.puts(0, 50), d.probe = 7; }, "",
         W::lookup | W::write | W::remove | W::directUpdate | W::next | W::first | W::iterate,
         nullptr, "", ReaderSays("")},
        // ----- chains -----
        {"chain looping back to its first record",
         linkOfB([](auto& d) { return uint32_t(d.n[0]); }), "duplicate slot: {0}",
         W::lookup | W::write | W::remove | W::directUpdate | W::next | W::iterate, kCycle,
         "slot {0} is reached twice", ReaderSays(kCycle, kBack)},
        {"record linking to itself", linkOfB([](auto& d) { return uint32_t(d.n[1]); }),
         "duplicate slot: {1}", W::lookup | W::next | W::iterate, kCycle,
         "slot {1} is reached twice", ReaderSays(kCycle, kBack)},
        {"looping chain met by a bucket grow",
         [](auto& d) {
             const auto loop = d.chain(0, 8, 2);  // stays in bucket 0 when 4 buckets double
             const auto others = keysInBucket(*d.w, 1, 2, 3);
             d.put(others[0]), d.put(others[1]), d.probe = others[2];
             d.n[0] = d.slot(loop[0]);
             d.link(d.slot(loop[1]), d.slot(loop[0]));
         },
         "duplicate slot: {0}", W::write, kCycle},
        {"looping chain met by a bucket shrink",
         [](auto& d) {
             const uint64_t a = keysInBucket(*d.w, 0, 8, 1)[0];
             const auto others = keysInBucket(*d.w, 1, 2, 4);
             d.put(a);
             for (uint64_t k : others)
                 d.put(k);
             d.del(others[1]), d.del(others[2]), d.del(others[3]);  // 8 buckets, 2 records
             d.n[0] = d.slot(a);
             d.link(d.slot(a), d.slot(a));
             d.probe = others[0];  // the last record but one: the join pass meets the loop
         },
         "duplicate slot: {0}", W::remove, kCycle},
        {"record leading back to its own bucket", linkOfB([](auto&) { return kMarker | 1; }),
         "has bucket: 1 with next bucket: 1 and numBuckets: 4", W::iterate, nullptr,
         "the chain of bucket 1 continues with bucket 1, expected bucket 3",
         ReaderSays("with next bucket: 1")},
        // Four buckets in the order 0, 2, 1, 3; records in buckets 1 and 3. A reader takes the
        // wrong successor for a halving in progress.
        {"bucket naming a wrong successor",
         [](auto& d) {
             d.chain(1, 4, 2), d.put(keysInBucket(*d.w, 3, 4, 1)[0]);
             d.bucketLink(0, kMarker | 1);  // the empty bucket 0 skips bucket 2
         },
         "has bucket: 0 with next bucket: 1 and numBuckets: 4", W::first | W::iterate, nullptr,
         "the chain of bucket 0 continues with bucket 1, expected bucket 2"},
        {"bucket hops that cycle",
         [](auto& d) { d.bucketLink(1, kMarker | 0); },  // the last empty one leads to the first
         "has bucket cycle detected, bucketCount: 2 numBuckets: 2", W::first, nullptr,
         "the last bucket 1 ends with 0x80000000, not with the end of the table",
         ReaderSays(nullptr, "has bucket cycle detected, bucketCount: 2 numBuckets: 2")},
        {"the table's end leading back to the first bucket",
         [](auto& d) {
             const auto keys = d.chain(1, 2, 2);  // two buckets
             d.n[0] = d.slot(keys[0]);
             d.link(d.slot(keys[1]), kMarker);  // the last record of the last bucket
         },
         "has bucket: 1 with next bucket: 0 and numBuckets: 2", W::iterate, nullptr,
         "the last bucket 1 ends with 0x80000000, not with the end of the table",
         ReaderSays(nullptr, kBack)},
        {"table ending before the last bucket",
         firstOfTwo([](auto& d, uint32_t) { d.link(d.slot(d.probe), kEnd); }),
         "thinks we've reached the end of the table, but we're in bucket 0 when there are "
         "numBuckets: 2",
         W::iterate, nullptr, "the chain of bucket 0 ends the table early; bucket 1 should follow"},
        // ----- records -----
        {"wrong rhash", firstOfTwo([](auto& d, uint32_t id) {
             const uint32_t r = Vesk::loadRhash(slotOf(*d.w, id));
             Vesk::setRhash(slotOf(*d.w, id), r ^ 1);
             d.n[2] = r ^ 1, d.n[3] = r;
         }),
         "corrupt rhash detected, slotId: {0} slot.rhash:{2:08x} rhash:{3:08x}", 0, nullptr,
         "slot {0} (key {1}) has rhash {2:#x}, its key's reversed hash is {3:#x}"},
        // A reader takes the key for one of the half-level bucket (a join in progress).
        // A whole record of another bucket (key and rhash): the writer's walks place records by
        // the rhash they stored, the validation and vesk check by the key's hash.
        {"key of another bucket", firstOfTwo([](auto& d, uint32_t id) {
             d.n[2] = keysInBucket(*d.w, 1, 2, 1)[0];
             d.setSlots(slotOffset<DamagedTable::Writer>(id, Off::kValue), d.n[2]);
             d.setSlots(slotOffset<DamagedTable::Writer>(id, Off::kRhash),
                        Pimbo::Util::reverse(d.w->hashKeyValue(d.n[2])));
         }),
         "corrupt key detected, slotId: {0}", W::lookup, "corrupt key detected, slot: {0}",
         "slot {0} (key {2}) is in the chain of bucket 0 but its key hashes to bucket 1"},
        {"linked record not occupied",
         firstOfTwo([](auto& d, uint32_t id) { d.flags(id, 0, Vesk::OCCUPIED); }),
         "slotId: {0} from bucket: 0 not marked as occupied", W::lookup,
         "slotId: {0} not marked as occupied",
         "slot {0} (key {1}) is in the chain of bucket 0 but not marked OCCUPIED",
         ReaderSays("slot:{0} not marked as occupied")},
        {"link beyond the slot array", firstOfTwo([](auto& d, uint32_t) { d.bucketLink(0, 64); }),
         "out-of-range index: 64 max:63", W::lookup, nullptr,
         "the chain of bucket 0 links to slot 64, beyond numSlots 64",
         ReaderSays("out-of-range index:64 numSlots:64")},
        {"stuck LOOKASIDE on the first record", stuckLookaside(0), "stuck LOOKASIDE bit: {0:#x}", 0,
         nullptr, "slot {1} (key {2}) has LOOKASIDE set (flags {0:#x})"},
        {"stuck LOOKASIDE in mid-chain", stuckLookaside(11), "stuck LOOKASIDE bit: {0:#x}", 0,
         nullptr, "slot {1} (key {2}) has LOOKASIDE set (flags {0:#x})"},
        // ----- the free list and the counts -----
        {"loop in the free list", [](auto& d) { d.puts(0, 3), d.link(10, 5), d.probe = 100; },
         "duplicate freeSlot detected: 5", W::fill,
         "free slot 5 of t/counter is marked as occupied", "the free list loops back to slot 5"},
        {"looping free list met by a slot shrink",
         [](auto& d) {
             d.puts(0, 65);
             for (uint64_t k = 0; k < 33; ++k)
                 d.del(k);  // 32 records in 128 slots
             std::vector<uint32_t> free;
             RawTable::of(*d.w).walkFree(free);
             d.n[0] = free[5];
             d.link(free.back(), free[5]);
             d.probe = 33;  // the shrink to 64 slots walks the free list first
         },
         "duplicate freeSlot detected: {0}", W::remove,
         "free-list of t/counter longer than numSlots: 128"},
        {"stray occupied slot beyond the end, its key in no chain, met by a slot shrink",
         strayBeyondTheEnd(0), "corrupted free slot not marked as empty: {0}", W::remove,
         "fromSlot:{0} key not found"},
        {"stray occupied slot beyond the end holding a chained key, met by a slot shrink",
         strayBeyondTheEnd(40), "corrupted free slot not marked as empty: {0}", W::remove,
         "fromSlot:{0} not referenced"},
        {"free-list id == numSlots", [](auto& d) { d.link(63, 64); },
         "corrupted free slot detected with out of bound index: 64", W::fill,
         "out-of-range index: 64 max:63", "the free list links to slot 64, beyond numSlots 64"},
        {"free slot marked occupied", [](auto& d) { d.put(1), d.flags(7, Vesk::OCCUPIED); },
         "corrupted free slot not marked as empty: 7", W::fill,
         "free slot 7 of t/counter is marked as occupied",
         "free slot 7 is marked OCCUPIED (flags 0x1)"},
        {"free-list head at a chained record",
         [](auto& d) {
             d.puts(0, 3), d.probe = 100;
             d.n[0] = d.slot(1);
             d.setSlots(Off::kFreeSlots, uint32_t(d.n[0]));
         },
         "corrupted free slot not marked as empty: {0}", W::fill,
         "free slot {0} of t/counter is marked as occupied",
         "slot {0} is both in a chain and on the free list"},
        {"occupiedSlots one too high", wordIs(false, Off::kOccupied, 4u),
         "mismatch header->occupiedSlots:4 count:3", W::fill,
         "the slot table is full but numSlots: 0x0:64 and occupiedSlots: 65 are not equal",
         "the chains hold 3 records but the header's occupiedSlots is 4"},
        {"occupiedSlots one too low", wordIs(false, Off::kOccupied, 2u),
         "walkedSlots:3 is greater than header->occupiedSlots:2", 0, nullptr,
         "the chains hold 3 records but the header's occupiedSlots is 2"},
        {"critical-section bit left set", wordIs(false, Off::kRuntimeFlags, uint16_t(1)),
         "bad critical section runtimeFlags:1", 0, nullptr,
         "no writer runs: the last writer stopped in the middle of a change"},
        // ----- headers -----
        header("slot version", false, Off::kVersion, 9u, "bad version: 9", "other version"),
        header("free-list head beyond the slots", false, Off::kFreeSlots, 0x7FFFFFF1u,
               "bad freeSlots: 2147483633 slots: 64", "corrupt"),
        header("bucket magic", true, Off::kBucketMagic, uint32_t('X'),
               "bad bucket magic: 544b425f00000058", "not a table"),
        header("bucket version", true, Off::kBucketVersion, 2u, "bad bucket version: 2",
               "other version"),
        header("bucket file of another generation", true, Off::kBucketCinder, 99u,
               "bad bucket cinder:99:0 wanted:{cinder}", "other generation"),
        header("numBuckets not a power of two", true, Off::kNumBuckets, 3u, "bad numBuckets: 0x1:3",
               "corrupt"),
        {.what = "numBuckets not the mapped count",
         .damage = wordIs(true, Off::kNumBuckets, 2u),
         .validation = "bad numBuckets: 0x1:2 mapped:4",
         .restart = "has bucket: 0 with next bucket: 2 and numBuckets: 2"},
        {.what = "slot magic",  // the tool takes the table for none
         .damage = wordIs(false, Off::kMagic, 0u),
         .validation = "bad magic: 544c535f00000000",
         .refusal = "not a table"},
        {.what = "slot file of another generation",
         .damage = wordIs(false, Off::kCinder, 99u),
         .validation = "bad cinder:99:0 wanted:{cinder}",
         .checker = "slot file header: bad cinder:99:0 wanted:{cinder}",
         .refusal = "other generation",
         .restart = "failed to attach to existing files"},
        {.what = "slot header checksum",
         .damage =
             [](auto& d) {
                 wordIs(false, Off::kMaxSlots, 5u)(d);
                 const auto slots = readFile(d.file("slots"));
                 d.n = {headerChecksum(slots), rd<uint32_t>(slots, Off::kHash)};
             },
         .validation = "checksum fail: {0:x} != {1:x}",
         .checker = "slot file header: checksum fail: {0:x} != {1:x}",
         .refusal = "corrupt"},
        {.what = "header of another record type of the same size, its checksum made good",
         .damage =
             [](auto& d) {
                 d.puts(0, 3);
                 std::string type = kKindTypeNames[1];
                 type.resize(512, '\0');
                 pwriteAt(d.file("slots"), Off::kValueType, type.data(), type.size());
                 d.setSlots(Off::kHash, headerChecksum(readFile(d.file("slots"))));
             },
         .validation = "bad valueType:DravoCounters::FlexCounters2::CounterEntryNormal "
                       "expecting:DravoCounters::FlexCounters2::CounterEntrySimple",
         .refusal = "other record type"},
        // ----- whole files -----
        files(
            "slot file removed", [](auto& dir) { fs::remove(dir + "/slots"); }, "no files yet"),
        files(
            "table directory removed", [](auto& dir) { fs::remove_all(dir); }, "no files yet"),
        files(
            "a plain file at the table's name",
            [](auto& dir) {
                fs::remove_all(dir);
                std::ofstream(dir) << "x";
            },
            "not a table"),
        files(
            "slot file of one byte", [](auto& dir) { fs::resize_file(dir + "/slots", 1); },
            "not a table"),
        files(
            "empty slot file", [](auto& dir) { fs::resize_file(dir + "/slots", 0); },
            "not a table"),
        files(
            "bucket file cut inside its header",
            [](auto& dir) { fs::resize_file(dir + "/buckets", 10); }, "not a table",
            "/buckets is 10 bytes, shorter than its header"),
        files(
            "table directory writable by all",
            [](auto& dir) { fs::permissions(dir, fs::perms::all); }, "untrusted directory"),
        {.what = "cinder file removed, and a wrong rhash (the checker's walk goes on)",
         .damage =
             [](auto& d) {
                 firstOfTwo([](auto& d, uint32_t id) {
                     Vesk::setRhash(slotOf(*d.w, id), Vesk::loadRhash(slotOf(*d.w, id)) ^ 1);
                 })(d);
                 fs::remove(d.file("cinder"));
             },
         .checker = "/cinder is missing or damaged\nslot {0} (key {1}) has rhash",
         .refusal = "no files yet"},
    };
    return kinds;
}

// Runs `check` on every kind that `wanted` picks, each on its own table in a fresh root, all in
// one child: a walk that never ends hangs the child, and the bounded wait reports the kind that
// reached it. `check` returns what differed from the kind's column, "" when nothing did.
inline void expectEveryKind(
    const std::function<bool(const DamageKind&)>& wanted,
    const std::function<std::string(const DamageKind&, DamagedTable&)>& check) {
    Child child([&](Child& self) {
        for (const DamageKind& kind : damageKinds()) {
            if (!wanted(kind))
                continue;
            TestRoot root;
            DamagedTable d(kind);
            std::string differed = check(kind, d);
            std::replace(differed.begin(), differed.end(), '\n', ' ');  // one line a kind
            self.send(differed.empty() ? "ok" : differed);
        }
        return 0;
    });
    for (const DamageKind& kind : damageKinds()) {
        if (!wanted(kind))
            continue;
        const std::string got = child.receive();
        EXPECT_EQ(got, "ok") << kind.what;
        if (got.empty())
            return;  // the child hangs in a walk that never ends, or died
    }
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace VeskTest
