#include "Mem/MappingRegistry.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace Mem::MappingRegistry {

namespace Detail {
std::atomic<uint64_t> losses{0};
}  // namespace Detail

namespace {

constexpr uint64_t kFree = 0;
constexpr uint64_t kClaimed = 1;

struct Entry {
    std::atomic<uint64_t> stamp{kFree};  // kFree, kClaimed, or the stamp it was published with
    std::atomic<uintptr_t> start{0};
    std::atomic<uint64_t> length{0};
    std::atomic<bool> guarded{false};
    std::atomic<bool> lost{false};  // the handler replaced pages of it
    std::atomic<char> path[kPathSize] = {};
};

// Entries come in blocks that are never freed, chained by `next`: the handler walks the chain
// without a lock. The first block is static; the rest are made by add when every entry is taken.
struct Block {
    Entry entries[kBlockEntries];
    std::atomic<Block*> next{nullptr};
};

Block first;
std::atomic<uint64_t> nextStamp{kClaimed + 1};

// What add, remove and lost keep for themselves, under `lock` (never touched by the handler):
// the free entries and the entry of each registered start address. Made at first use (never
// during static initialisation, whatever the order).
struct Books {
    std::mutex lock;
    std::vector<Entry*> freeEntries;
    std::unordered_map<uintptr_t, Entry*> byStart;
    Block* last = &first;

    Books() {
        for (Entry& e : first.entries)
            freeEntries.push_back(&e);
    }
};

// Never destroyed: a mapping may be forgotten by a static object's destructor at exit.
Books& books() {
    static Books* const b = new Books;
    return *b;
}

static_assert(std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<char>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free &&
                  std::atomic<Block*>::is_always_lock_free,
              "find and the SIGBUS handler run in signal handlers");

template <class Visit>
void forEachEntry(Visit&& visit) noexcept {
    for (Block* b = &first; b != nullptr; b = b->next.load(std::memory_order_acquire)) {
        for (Entry& e : b->entries) {
            if (visit(e))
                return;
        }
    }
}

// The handler installed before ours, and the page size; both set before ours is installed.
struct sigaction previous;
uintptr_t pageSize = 4096;
std::once_flag installed;

// The published entry whose range holds a; null when none does.
Entry* entryAt(uintptr_t a, uint64_t& stamp) noexcept {
    Entry* found = nullptr;
    forEachEntry([&](Entry& e) {
        stamp = e.stamp.load(std::memory_order_acquire);
        if (stamp <= kClaimed)
            return false;
        const uintptr_t start = e.start.load(std::memory_order_relaxed);
        if (a < start || a - start >= e.length.load(std::memory_order_relaxed))
            return false;
        found = &e;
        return true;
    });
    return found;
}

// Maps zero pages from the page of a to the end of the guarded range that holds a, and records
// the loss. False when a lies in no guarded range (or the pages cannot be replaced).
bool replaceLostPages(uintptr_t a) noexcept {
    uint64_t stamp = 0;
    Entry* e = entryAt(a, stamp);
    if (e == nullptr || !e->guarded.load(std::memory_order_relaxed))
        return false;
    const uintptr_t start = e->start.load(std::memory_order_relaxed);
    const uintptr_t end =
        start + (e->length.load(std::memory_order_relaxed) + pageSize - 1) / pageSize * pageSize;
    const uintptr_t from = a & ~(pageSize - 1);
    void* p = ::mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return false;
    e->lost.store(true, std::memory_order_relaxed);
    Detail::losses.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// Hands the signal on as if our handler were not installed.
void chain(int signal, siginfo_t* info, void* context) noexcept {
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler == SIG_IGN && info->si_code <= 0)
        return;  // a signal someone sent, ignored as before
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // The default action (a fault cannot be ignored): the faulting load runs again, or the
    // signal sent by someone is sent again, and ends the process.
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&deflt.sa_mask);
    ::sigaction(signal, &deflt, nullptr);
    if (info->si_code <= 0)
        ::raise(signal);
}

extern "C" void onBusError(int signal, siginfo_t* info, void* context) {
    const int saved = errno;
    // BUS_ADRERR: an access beyond the end of a mapped file. Hardware errors and signals that
    // someone sent are not ours to answer.
    const bool answered =
        info->si_code == BUS_ADRERR && replaceLostPages(reinterpret_cast<uintptr_t>(info->si_addr));
    errno = saved;
    if (!answered)
        chain(signal, info, context);
}

void installGuard() {
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0)
        pageSize = uintptr_t(page);
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigaction(SIGBUS, nullptr, &previous);
    ::sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

void add(const void* base, uint64_t length, const std::string& path, bool guarded) noexcept {
    if (guarded)
        std::call_once(installed, installGuard);
    const uintptr_t start = reinterpret_cast<uintptr_t>(base);
    Entry* e = nullptr;
    try {
        Books& b = books();
        const std::lock_guard<std::mutex> lock(b.lock);
        if (b.freeEntries.empty()) {
            Block* more = new Block;
            for (Entry& free : more->entries)
                b.freeEntries.push_back(&free);
            // Release: a walk that reaches the block sees its entries free.
            b.last->next.store(more, std::memory_order_release);
            b.last = more;
        }
        e = b.freeEntries.back();
        b.byStart[start] = e;
        b.freeEntries.pop_back();
    } catch (const std::bad_alloc&) {
        return;  // unnamed and unguarded (invariant 4)
    }
    e->stamp.store(kClaimed, std::memory_order_relaxed);
    e->start.store(start, std::memory_order_relaxed);
    e->length.store(length, std::memory_order_relaxed);
    e->guarded.store(guarded, std::memory_order_relaxed);
    e->lost.store(false, std::memory_order_relaxed);
    const size_t n = std::min(path.size(), kPathSize - 1);
    for (size_t i = 0; i < kPathSize; ++i)
        e->path[i].store(i < n ? path[i] : '\0', std::memory_order_relaxed);
    // Release: a find that sees the stamp sees the range and the path (invariant 1).
    e->stamp.store(nextStamp.fetch_add(1, std::memory_order_relaxed), std::memory_order_release);
}

bool remove(const void* base) noexcept {
    Books& b = books();
    const std::lock_guard<std::mutex> lock(b.lock);
    const auto it = b.byStart.find(reinterpret_cast<uintptr_t>(base));
    if (it == b.byStart.end())
        return false;
    Entry* e = it->second;
    b.byStart.erase(it);
    const bool lost = e->lost.load(std::memory_order_relaxed);
    e->stamp.store(kFree, std::memory_order_release);
    b.freeEntries.push_back(e);  // room was reserved when its block was made
    return lost;
}

bool lost(const void* base) noexcept {
    Books& b = books();
    const std::lock_guard<std::mutex> lock(b.lock);
    const auto it = b.byStart.find(reinterpret_cast<uintptr_t>(base));
    return it != b.byStart.end() && it->second->lost.load(std::memory_order_relaxed);
}

bool find(const void* addr, char* out, size_t size) noexcept {
    if (size == 0)
        return false;
    uint64_t stamp = 0;
    Entry* e = entryAt(reinterpret_cast<uintptr_t>(addr), stamp);
    if (e == nullptr)
        return false;
    size_t i = 0;
    for (; i + 1 < size && i < kPathSize; ++i) {
        out[i] = e->path[i].load(std::memory_order_relaxed);
        if (out[i] == '\0')
            break;
    }
    out[std::min(i, size - 1)] = '\0';
    // The copies above are ordered before the re-load of the stamp.
    std::atomic_thread_fence(std::memory_order_acquire);
    return e->stamp.load(std::memory_order_relaxed) == stamp;
}

}  // namespace Mem::MappingRegistry
