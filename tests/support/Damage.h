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

namespace VeskTest {

struct DamageKind;

// A table of simple records (each key k written as Kind::make(k, 1)) by a live, initialized
// writer in the current root, damaged by one kind. Damage goes into the files; the writer sees it
// through its shared mapping.
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
    uint32_t rhash(uint64_t k) const { return Pimbo::Util::reverse(w->hashKeyValue(k)); }
    // Writes `count` keys of bucket b of n; returns them in table order.
    std::vector<uint64_t> chain(uint32_t b, uint32_t n, size_t count) {
        std::vector<uint64_t> keys = keysInBucket(*w, b, n, count);
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

    std::unique_ptr<Writer> w;
    std::string dir;              // the table's directory
    Plinth::CinderId cinder;      // its generation
    std::array<uint64_t, 4> n{};  // the numbers the texts name
    uint64_t probe = 0;           // the key the walks look for
};

// The walks of the writer a damage may stop (fill writes the 100 keys from the probe on).
enum class WriterWalk { lookup, write, remove, directUpdate, next, first, iterate, fill };

// A reader's walks: a lookup of the probe, a next after it (without a hint) and a whole iteration.
// Each text is part of what the walk throws, "" for nothing thrown, none for not checked (the walks
// run all the same, and must end).
struct DamageKind {
    const char* what;
    std::function<void(DamagedTable&)> damage;  // writes the records it needs, then damages
    // The writer's validation: "" for a sound table; none where a live writer cannot meet the
    // damage (a file cut or removed under it). A restart re-formats for this reason, or for
    // `restart` where it meets the damage earlier.
    const char* validation = nullptr;
    const char* restart = nullptr;
    std::vector<WriterWalk> walks = {};     // the writer's walks that throw `thrown`
    const char* thrown = nullptr;           // or the validation's text when none
    const char* refusal = nullptr;          // why a reader's attach refuses; none: it attaches
    const char* reader = nullptr;           // what a reader's lookup and next say
    const char* iteration = nullptr;        // what a reader's iteration says
    std::vector<std::string> checker = {};  // faults the checker reports, each a part of a line
    bool shrinking = false;                 // the table shrinks its slots and buckets
};

inline DamagedTable::DamagedTable(const DamageKind& kind, const std::string& name)
    : w(makeWriter<Ops>(kind.shrinking ? shrinkingDescriptor(100000) : Vesk::MapDescriptor(100000),
                        name)) {
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

// LOOKASIDE left set on the i-th record of the table.
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
    const std::string file = buckets ? "bucket file header: " : "slot file header: ";
    return {.what = what,
            .damage = wordIs(buckets, off, v),
            .validation = reason,
            .refusal = refusal,
            .checker = {file + reason}};
}

// A whole file or the directory damaged, after three records; the live writer never looks at it
// again. A reader refuses to attach for `refusal`; the checker reports `checker`.
inline DamageKind files(const char* what, std::function<void(const std::string&)> damage,
                        const char* refusal, std::vector<std::string> checker = {}) {
    return {.what = what,
            .damage = [damage](DamagedTable& d) { d.puts(0, 3), damage(d.dir); },
            .refusal = refusal,
            .checker = checker};
}

inline const char* const kCycle = "hash chain cycle detected, slotCount:65 capacity:64";
inline const char* const kBack = "iteration went back";

inline const std::vector<DamageKind>& damageKinds() {
    namespace fs = std::filesystem;
    using W = WriterWalk;
    static const std::vector<DamageKind> kinds = {
        {.what = "sound table",
         .damage = [](DamagedTable& d) { d.puts(0, 50), d.probe = 7; },
         .validation = "",
         .walks = {W::lookup, W::write, W::remove, W::directUpdate, W::next, W::first, W::iterate},
         .reader = "",
         .iteration = ""},
        // ----- chains -----
        {.what = "chain looping back to its first record",
         .damage = linkOfB([](DamagedTable& d) { return uint32_t(d.n[0]); }),
         .validation = "duplicate slot: {0}",
         .walks = {W::lookup, W::write, W::remove, W::directUpdate, W::next, W::iterate},
         .thrown = kCycle,
         .reader = kCycle,
         .iteration = kBack,
         .checker = {"slot {0} is reached twice"}},
        {.what = "record linking to itself",
         .damage = linkOfB([](DamagedTable& d) { return uint32_t(d.n[1]); }),
         .validation = "duplicate slot: {1}",
         .walks = {W::lookup, W::next, W::iterate},
         .thrown = kCycle,
         .reader = kCycle,
         .iteration = kBack,
         .checker = {"slot {1} is reached twice"}},
        {.what = "looping chain met by a bucket grow",
         .damage =
             [](DamagedTable& d) {
                 const auto loop = d.chain(0, 8, 2);  // stays in bucket 0 when 4 buckets double
                 const auto others = keysInBucket(*d.w, 1, 2, 3);
                 d.put(others[0]), d.put(others[1]), d.probe = others[2];
                 d.n[0] = d.slot(loop[0]);
                 d.link(d.slot(loop[1]), d.slot(loop[0]));
             },
         .validation = "duplicate slot: {0}",
         .walks = {W::write},
         .thrown = kCycle,
         .shrinking = true},
        {.what = "looping chain met by a bucket shrink",
         .damage =
             [](DamagedTable& d) {
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
         .validation = "duplicate slot: {0}",
         .walks = {W::remove},
         .thrown = kCycle,
         .shrinking = true},
        {.what = "record leading back to its own bucket",
         .damage = linkOfB([](DamagedTable&) { return kMarker | 1; }),
         .validation = "has bucket: 1 with next bucket: 1 and numBuckets: 4",
         .walks = {W::iterate},
         .reader = "with next bucket: 1",
         .iteration = "with next bucket: 1",
         .checker = {"the chain of bucket 1 continues with bucket 1, expected bucket 3"}},
        // Four buckets in the order 0, 2, 1, 3; records in buckets 1 and 3.
        {.what = "bucket naming a wrong successor",
         .damage =
             [](DamagedTable& d) {
                 d.chain(1, 4, 2), d.put(keysInBucket(*d.w, 3, 4, 1)[0]);
                 d.bucketLink(0, kMarker | 1);  // the empty bucket 0 skips bucket 2
             },
         .validation = "has bucket: 0 with next bucket: 1 and numBuckets: 4",
         .walks = {W::first, W::iterate},  // a reader takes it for a halving in progress
         .checker = {"the chain of bucket 0 continues with bucket 1, expected bucket 2"}},
        {.what = "bucket hops that cycle",
         .damage =
             [](DamagedTable& d) {
                 d.puts(0, 3), d.del(0), d.del(1), d.del(2);  // four empty buckets
                 d.bucketLink(3, kMarker | 0);  // the last one continues with the first
             },
         .validation = "has bucket cycle detected, bucketCount: 4 numBuckets: 4",
         .walks = {W::first},
         .iteration = "has bucket cycle detected, bucketCount: 4 numBuckets: 4",
         .checker = {"the last bucket 3 ends with 0x80000000, not with the end of the table"}},
        {.what = "the table's end leading back to the first bucket",
         .damage =
             [](DamagedTable& d) {
                 const auto keys = d.chain(1, 2, 2);  // two buckets
                 d.n[0] = d.slot(keys[0]);
                 d.link(d.slot(keys[1]), kMarker);  // the last record of the last bucket
             },
         .validation = "duplicate slot: {0}",
         .iteration = kBack,
         .checker = {"the last bucket 1 ends with 0x80000000, not with the end of the table"}},
        {.what = "table ending before the last bucket",
         .damage = firstOfTwo([](DamagedTable& d, uint32_t) { d.link(d.slot(d.probe), kEnd); }),
         .validation = "thinks we've reached the end of the table, but we're in bucket 0 when "
                       "there are numBuckets: 2",
         .walks = {W::iterate},
         .checker = {"the chain of bucket 0 ends the table early; bucket 1 should follow"}},
        // ----- records -----
        {.what = "wrong rhash",
         .damage = firstOfTwo([](DamagedTable& d, uint32_t id) {
             const uint32_t r = Vesk::loadRhash(slotOf(*d.w, id));
             Vesk::setRhash(slotOf(*d.w, id), r ^ 1);
             d.n[2] = r ^ 1, d.n[3] = r;
         }),
         .validation = "corrupt rhash detected, slotId: {0} slot.rhash:{2:08x} rhash:{3:08x}",
         .checker = {"slot {0} (key {1}) has rhash {2:#x}, its key's reversed hash is {3:#x}"}},
        // A reader takes the key for one of the half-level bucket (a join in progress).
        {.what = "key of another bucket",
         .damage = firstOfTwo([](DamagedTable& d, uint32_t id) {
             d.n[2] = keysInBucket(*d.w, 1, 2, 1)[0];
             d.setSlots(slotOffset<DamagedTable::Writer>(id, Off::kValue), d.n[2]);
         }),
         .validation = "corrupt key detected, slotId: {0}",
         .walks = {W::lookup},
         .thrown = "corrupt key detected, slot: {0}",
         .checker = {"slot {0} (key {2}) is in the chain of bucket 0 but its key hashes to "
                     "bucket 1"}},
        {.what = "linked record not occupied",
         .damage = firstOfTwo([](DamagedTable& d, uint32_t id) { d.flags(id, 0, Vesk::OCCUPIED); }),
         .validation = "slotId: {0} from bucket: 0 not marked as occupied",
         .walks = {W::lookup},
         .thrown = "slotId: {0} not marked as occupied",
         .reader = "slot:{0} not marked as occupied",
         .iteration = "slot:{0} not marked as occupied",
         .checker = {"slot {0} (key {1}) is in the chain of bucket 0 but not marked OCCUPIED"}},
        {.what = "link beyond the slot array",
         .damage = firstOfTwo([](DamagedTable& d, uint32_t) { d.bucketLink(0, 64); }),
         .validation = "out-of-range index: 64 max:63",
         .walks = {W::lookup},
         .reader = "out-of-range index:64 numSlots:64",
         .iteration = "out-of-range index:64 numSlots:64",
         .checker = {"the chain of bucket 0 links to slot 64, beyond numSlots 64"}},
        {.what = "stuck LOOKASIDE on the first record",
         .damage = stuckLookaside(0),
         .validation = "stuck LOOKASIDE bit: {0:#x}",
         .checker = {"slot {1} (key {2}) has LOOKASIDE set (flags {0:#x})"}},
        {.what = "stuck LOOKASIDE in mid-chain",
         .damage = stuckLookaside(11),
         .validation = "stuck LOOKASIDE bit: {0:#x}",
         .checker = {"slot {1} (key {2}) has LOOKASIDE set (flags {0:#x})"}},
        // ----- the free list and the counts -----
        {.what = "loop in the free list",
         .damage = [](DamagedTable& d) { d.puts(0, 3), d.link(10, 5), d.probe = 100; },
         .validation = "duplicate freeSlot detected: 5",
         .walks = {W::fill},
         .thrown = "free slot 5 of t/counter is marked as occupied",
         .checker = {"the free list loops back to slot 5"}},
        {.what = "looping free list met by a slot shrink",
         .damage =
             [](DamagedTable& d) {
                 d.puts(0, 65);
                 for (uint64_t k = 0; k < 33; ++k)
                     d.del(k);  // 32 records in 128 slots
                 std::vector<uint32_t> free;
                 RawTable::of(*d.w).walkFree(free);
                 d.n[0] = free[5];
                 d.link(free.back(), free[5]);
                 d.probe = 33;  // the shrink to 64 slots walks the free list first
             },
         .validation = "duplicate freeSlot detected: {0}",
         .walks = {W::remove},
         .thrown = "free-list of t/counter longer than numSlots: 128",
         .shrinking = true},
        {.what = "free-list id == numSlots",
         .damage = [](DamagedTable& d) { d.link(63, 64); },
         .validation = "corrupted free slot detected with out of bound index: 64",
         .walks = {W::fill},
         .thrown = "out-of-range index: 64 max:63",
         .checker = {"the free list links to slot 64, beyond numSlots 64"}},
        {.what = "free slot marked occupied",
         .damage = [](DamagedTable& d) { d.put(1), d.flags(7, Vesk::OCCUPIED); },
         .validation = "corrupted free slot not marked as empty: 7",
         .walks = {W::fill},
         .thrown = "free slot 7 of t/counter is marked as occupied",
         .checker = {"free slot 7 is marked OCCUPIED (flags 0x1)"}},
        {.what = "free-list head at a chained record",
         .damage =
             [](DamagedTable& d) {
                 d.puts(0, 3), d.probe = 100;
                 d.n[0] = d.slot(1);
                 d.setSlots(Off::kFreeSlots, uint32_t(d.n[0]));
             },
         .validation = "corrupted free slot not marked as empty: {0}",
         .walks = {W::fill},
         .thrown = "free slot {0} of t/counter is marked as occupied",
         .checker = {"slot {0} is both in a chain and on the free list"}},
        {.what = "occupiedSlots one too high",
         .damage = wordIs(false, Off::kOccupied, 4u),
         .validation = "mismatch header->occupiedSlots:4 count:3",
         .walks = {W::fill},
         .thrown =
             "the slot table is full but numSlots: 0x0:64 and occupiedSlots: 65 are not equal",
         .checker = {"the chains hold 3 records but the header's occupiedSlots is 4"}},
        {.what = "occupiedSlots one too low",
         .damage = wordIs(false, Off::kOccupied, 2u),
         .validation = "walkedSlots:3 is greater than header->occupiedSlots:2",
         .checker = {"the chains hold 3 records but the header's occupiedSlots is 2"}},
        {.what = "critical-section bit left set",
         .damage = wordIs(false, Off::kRuntimeFlags, uint16_t(1)),
         .validation = "bad critical section runtimeFlags:1",
         .checker = {"no writer runs: the last writer stopped in the middle of a change"}},
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
        header("numBuckets not a power of two", true, Off::kNumBuckets, 3u,
               "bad numBuckets: 0x1:3", "corrupt"),
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
         .restart = "failed to attach to existing files",
         .refusal = "other generation",
         .checker = {"slot file header: bad cinder:99:0 wanted:{cinder}"}},
        {.what = "slot header checksum",
         .damage =
             [](DamagedTable& d) {
                 wordIs(false, Off::kMaxSlots, 5u)(d);
                 const auto slots = readFile(d.file("slots"));
                 d.n = {headerChecksum(slots), rd<uint32_t>(slots, Off::kHash)};
             },
         .validation = "checksum fail: {0:x} != {1:x}",
         .refusal = "corrupt",
         .checker = {"slot file header: checksum fail: {0:x} != {1:x}"}},
        {.what = "header of another record type of the same size, its checksum made good",
         .damage =
             [](DamagedTable& d) {
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
        files("slot file removed", [](const std::string& dir) { fs::remove(dir + "/slots"); },
              "no files yet"),
        files("table directory removed", [](const std::string& dir) { fs::remove_all(dir); },
              "no files yet"),
        files("a plain file at the table's name",
              [](const std::string& dir) {
                  fs::remove_all(dir);
                  std::ofstream(dir) << "x";
              },
              "not a table"),
        files("slot file of one byte",
              [](const std::string& dir) { fs::resize_file(dir + "/slots", 1); }, "not a table"),
        files("empty slot file",
              [](const std::string& dir) { fs::resize_file(dir + "/slots", 0); }, "not a table"),
        files("bucket file cut inside its header",
              [](const std::string& dir) { fs::resize_file(dir + "/buckets", 10); },
              "not a table", {"/buckets is 10 bytes, shorter than its header"}),
        files("table directory writable by all",
              [](const std::string& dir) { fs::permissions(dir, fs::perms::all); },
              "untrusted directory"),
        {.what = "cinder file removed, and a wrong rhash (the checker's walk goes on)",
         .damage =
             [](DamagedTable& d) {
                 firstOfTwo([](DamagedTable& d, uint32_t id) {
                     Vesk::setRhash(slotOf(*d.w, id), Vesk::loadRhash(slotOf(*d.w, id)) ^ 1);
                 })(d);
                 fs::remove(d.file("cinder"));
             },
         .refusal = "no files yet",
         .checker = {"/cinder is missing or damaged", "slot {0} (key {1}) has rhash"}},
    };
    return kinds;
}

}  // namespace VeskTest
