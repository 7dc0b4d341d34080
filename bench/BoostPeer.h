// A peer of the reader benchmark: the same records in a hash map inside a Boost.Interprocess
// managed shared memory segment, written by one process (BoostStore) and read by another
// (BoostTable).
//
// Who calls what:
//   - BoostStore: the writer child only; it creates the segment, the map and the lock, and
//     takes the lock exclusively for each record it stores.
//   - BoostTable: the reading process only. A map in shared memory has no lock-free readers:
//     every lookup takes the lock sharably (one lock and unlock per lookup, as a reader that
//     shares the map with a live writer must), and a scan holds it sharably from the first
//     record to the last (an iterator stays valid only while the map does not change), which
//     holds the writer off for the whole scan.
// The hash is the benchmark's MixHash, the map's nodes and buckets are allocated in the segment.
#pragma once

#include "BenchUtil.h"
#include "FlexCounters2/FlexCounters2Vesk.h"

#include <fmt/format.h>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/sync/interprocess_sharable_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/interprocess/sync/sharable_lock.hpp>
#include <boost/unordered_map.hpp>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

namespace VeskBench {

using DravoCounters::FlexCounters2::CounterEntrySimple;
using DravoCounters::FlexCounters2::CounterIndex;

namespace BoostPeer {

namespace bip = boost::interprocess;
using Segment = bip::managed_shared_memory;
using Allocator =
    bip::allocator<std::pair<const uint64_t, CounterEntrySimple>, Segment::segment_manager>;
using Map =
    boost::unordered_map<uint64_t, CounterEntrySimple, MixHash, std::equal_to<uint64_t>, Allocator>;
using Mutex = bip::interprocess_sharable_mutex;

// The names of the two objects in the segment.
constexpr const char* kMapName = "records";
constexpr const char* kLockName = "lock";

// Room for n records: a node (record, link and hash) with the allocator's header, a bucket, and
// the segment's own bookkeeping.
inline size_t segmentSize(uint64_t n) {
    return size_t(n) * 128 + (size_t(1) << 20);
}

// The object `name` of the segment `segment`, or an exception naming both.
template <class T>
T* find(Segment& segment, const char* name, const std::string& segmentName) {
    T* p = segment.find<T>(name).first;
    if (p == nullptr)
        throw std::runtime_error(
            fmt::format("boost segment {} has no object named {}", segmentName, name));
    return p;
}

}  // namespace BoostPeer

class BoostStore {
  public:
    BoostStore(std::string name, uint64_t n)
        : name_(std::move(name)),
          segment_(BoostPeer::bip::create_only, name_.c_str(), BoostPeer::segmentSize(n)),
          lock_(segment_.construct<BoostPeer::Mutex>(BoostPeer::kLockName)()),
          map_(segment_.construct<BoostPeer::Map>(BoostPeer::kMapName)(
              n, MixHash(), std::equal_to<uint64_t>(),
              BoostPeer::Allocator(segment_.get_segment_manager()))) {}
    BoostStore(const BoostStore&) = delete;
    BoostStore& operator=(const BoostStore&) = delete;

    // Each put takes the lock itself: a batch only groups the puts between two looks at the pipe.
    template <class Puts>
    void batch(Puts&& puts) {
        puts();
    }

    void put(const CounterEntrySimple& r) {
        BoostPeer::bip::scoped_lock<BoostPeer::Mutex> hold(*lock_);
        (*map_)[r.key().value()] = r;
    }

  private:
    std::string name_;
    BoostPeer::Segment segment_;
    BoostPeer::Mutex* lock_;
    BoostPeer::Map* map_;
};

class BoostTable {
  public:
    explicit BoostTable(std::string name)
        : name_(std::move(name)),
          segment_(BoostPeer::bip::open_only, name_.c_str()),
          lock_(BoostPeer::find<BoostPeer::Mutex>(segment_, BoostPeer::kLockName, name_)),
          map_(BoostPeer::find<BoostPeer::Map>(segment_, BoostPeer::kMapName, name_)) {}
    BoostTable(const BoostTable&) = delete;
    BoostTable& operator=(const BoostTable&) = delete;

    // As the reader's lookup: the record of `key` copied to `buffer`, or a record with zero
    // counters when there is none.
    const CounterEntrySimple* lookup(CounterIndex key, bool& found, CounterEntrySimple* buffer) {
        BoostPeer::bip::sharable_lock<BoostPeer::Mutex> hold(*lock_);
        const auto it = map_->find(key.value());
        found = it != map_->end();
        *buffer = found ? it->second : CounterEntrySimple(key);
        return buffer;
    }

    // Calls visit(const CounterEntrySimple&) for every record under one sharable lock; returns
    // how many it visited.
    template <class Visit>
    uint64_t scan(Visit&& visit) {
        BoostPeer::bip::sharable_lock<BoostPeer::Mutex> hold(*lock_);
        uint64_t records = 0;
        for (const auto& [k, v] : *map_) {
            visit(v);
            ++records;
        }
        return records;
    }

    // The bytes of the segment in use: its size less what its allocator has free.
    uint64_t bytesInUse() { return segment_.get_size() - segment_.get_free_memory(); }
    // The bytes of the segment, free ones included.
    uint64_t fileBytes() { return segment_.get_size(); }

  private:
    std::string name_;
    BoostPeer::Segment segment_;
    BoostPeer::Mutex* lock_;
    BoostPeer::Map* map_;
};

}  // namespace VeskBench
