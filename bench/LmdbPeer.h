// A peer of the reader benchmark: the same records in an LMDB environment, written by one
// process (LmdbStore) and read by another (LmdbTable).
//
// Who calls what:
//   - LmdbStore: the writer child only. Every batch of puts is one write transaction; the
//     environment is opened without syncing (the table it is measured against never syncs).
//   - LmdbTable: the reading process only, one thread. Lookups share one read-only transaction,
//     reset and renewed every kRenewEvery lookups, as a long-lived reader must so that the
//     writer can reuse the pages of older snapshots; a scan renews it once and walks one
//     snapshot with a cursor.
// Keys are the records' 8-byte keys in native order (MDB_INTEGERKEY); values are the whole
// 24-byte records. LMDB aligns a value to 2 bytes only, so every value is copied out.
#pragma once

#include "FlexCounters2/FlexCounters2Vesk.h"

#include <fmt/format.h>
#include <lmdb.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace VeskBench {

using DravoCounters::FlexCounters2::CounterEntrySimple;
using DravoCounters::FlexCounters2::CounterIndex;

// Room for the records and for the pages that readers' snapshots hold; the file grows only as
// pages are written.
constexpr size_t kLmdbMapSize = size_t(4) << 30;
// Lookups between two renewals of a reader's transaction.
constexpr uint64_t kRenewEvery = 1024;

// Throws, naming the environment, the call and LMDB's reason, when rc is not success.
inline void lmdbCheck(int rc, const char* call, const std::string& dir) {
    if (rc != MDB_SUCCESS)
        throw std::runtime_error(
            fmt::format("lmdb {} of {} failed: {} ({})", call, dir, mdb_strerror(rc), rc));
}

// An environment in `dir`, opened with `flags`, or an exception.
inline MDB_env* lmdbOpen(const std::string& dir, unsigned flags) {
    MDB_env* env = nullptr;
    lmdbCheck(mdb_env_create(&env), "mdb_env_create", dir);
    int rc = mdb_env_set_mapsize(env, kLmdbMapSize);
    if (rc == MDB_SUCCESS)
        rc = mdb_env_open(env, dir.c_str(), flags, 0600);
    if (rc != MDB_SUCCESS)
        mdb_env_close(env);
    lmdbCheck(rc, "mdb_env_open", dir);
    return env;
}

class LmdbStore {
  public:
    explicit LmdbStore(std::string dir) : dir_(std::move(dir)) {
        if (::mkdir(dir_.c_str(), 0700) != 0)
            throw std::runtime_error(
                fmt::format("cannot create lmdb directory {}: {}", dir_, std::strerror(errno)));
        env_ = lmdbOpen(dir_, MDB_NOSYNC);
        batch([&] {
            lmdbCheck(mdb_dbi_open(txn_, nullptr, MDB_INTEGERKEY, &dbi_), "mdb_dbi_open", dir_);
        });
    }
    ~LmdbStore() { mdb_env_close(env_); }
    LmdbStore(const LmdbStore&) = delete;
    LmdbStore& operator=(const LmdbStore&) = delete;

    // Runs `puts` in one write transaction and commits it.
    template <class Puts>
    void batch(Puts&& puts) {
        lmdbCheck(mdb_txn_begin(env_, nullptr, 0, &txn_), "mdb_txn_begin", dir_);
        puts();
        const int rc = mdb_txn_commit(txn_);
        txn_ = nullptr;
        lmdbCheck(rc, "mdb_txn_commit", dir_);
    }

    // Inserts or overwrites r; inside batch() only.
    void put(const CounterEntrySimple& r) {
        uint64_t key = r.key().value();
        MDB_val k{sizeof(key), &key};
        MDB_val v{sizeof(r), const_cast<CounterEntrySimple*>(&r)};
        lmdbCheck(mdb_put(txn_, dbi_, &k, &v, 0), "mdb_put", dir_);
    }

  private:
    std::string dir_;
    MDB_env* env_ = nullptr;
    MDB_txn* txn_ = nullptr;
    MDB_dbi dbi_ = 0;
};

class LmdbTable {
  public:
    explicit LmdbTable(std::string dir) : dir_(std::move(dir)), env_(lmdbOpen(dir_, MDB_RDONLY)) {
        lmdbCheck(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn_), "mdb_txn_begin", dir_);
        lmdbCheck(mdb_dbi_open(txn_, nullptr, MDB_INTEGERKEY, &dbi_), "mdb_dbi_open", dir_);
    }
    ~LmdbTable() {
        mdb_txn_abort(txn_);
        mdb_env_close(env_);
    }
    LmdbTable(const LmdbTable&) = delete;
    LmdbTable& operator=(const LmdbTable&) = delete;

    // As the reader's lookup: the record of `key` copied to `buffer`, or a record with zero
    // counters when there is none.
    const CounterEntrySimple* lookup(CounterIndex key, bool& found, CounterEntrySimple* buffer) {
        if (++sinceRenew_ == kRenewEvery)
            renew();
        uint64_t k = key.value();
        MDB_val kv{sizeof(k), &k};
        MDB_val v;
        const int rc = mdb_get(txn_, dbi_, &kv, &v);
        found = rc == MDB_SUCCESS;
        if (found)
            copyOut(v, buffer);
        else if (rc == MDB_NOTFOUND)
            *buffer = CounterEntrySimple(key);
        else
            lmdbCheck(rc, "mdb_get", dir_);
        return buffer;
    }

    // Calls visit(const CounterEntrySimple&) for every record of one snapshot in key order;
    // returns how many it visited.
    template <class Visit>
    uint64_t scan(Visit&& visit) {
        renew();
        MDB_cursor* cursor = nullptr;
        lmdbCheck(mdb_cursor_open(txn_, dbi_, &cursor), "mdb_cursor_open", dir_);
        uint64_t records = 0;
        MDB_val k;
        MDB_val v;
        CounterEntrySimple r;
        int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST);
        for (; rc == MDB_SUCCESS; rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT)) {
            copyOut(v, &r);
            visit(r);
            ++records;
        }
        mdb_cursor_close(cursor);
        if (rc != MDB_NOTFOUND)
            lmdbCheck(rc, "mdb_cursor_get", dir_);
        return records;
    }

    // The bytes of the pages that hold the records now (the tree's branch and leaf pages).
    uint64_t bytesInUse() {
        renew();
        MDB_stat stat;
        lmdbCheck(mdb_stat(txn_, dbi_, &stat), "mdb_stat", dir_);
        return (stat.ms_branch_pages + stat.ms_leaf_pages + stat.ms_overflow_pages) * stat.ms_psize;
    }

    // The bytes of the file: every page up to the last one written, pages kept for older
    // snapshots and free ones included.
    uint64_t fileBytes() {
        renew();
        MDB_envinfo info;
        MDB_stat stat;
        lmdbCheck(mdb_env_info(env_, &info), "mdb_env_info", dir_);
        lmdbCheck(mdb_env_stat(env_, &stat), "mdb_env_stat", dir_);
        return (uint64_t(info.me_last_pgno) + 1) * stat.ms_psize;
    }

  private:
    void renew() {
        sinceRenew_ = 0;
        mdb_txn_reset(txn_);
        lmdbCheck(mdb_txn_renew(txn_), "mdb_txn_renew", dir_);
    }

    void copyOut(const MDB_val& v, CounterEntrySimple* out) const {
        if (v.mv_size != sizeof(*out))
            throw std::runtime_error(fmt::format("lmdb {}: a value of {} bytes, expected {}", dir_,
                                                 v.mv_size, sizeof(*out)));
        std::memcpy(static_cast<void*>(out), v.mv_data, sizeof(*out));
    }

    std::string dir_;
    MDB_env* env_;
    MDB_txn* txn_ = nullptr;
    MDB_dbi dbi_ = 0;
    uint64_t sinceRenew_ = 0;
};

}  // namespace VeskBench
