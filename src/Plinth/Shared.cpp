#include "Plinth/Shared.h"

#include "Pimbo/Core.h"
#include "Plinth/RootPath.h"
#include "Plinth/TableDir.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace Mem {
namespace {

std::atomic<bool> dumpToCoreFlag{false};

// coredump_filter bit: dump file-backed shared mappings.
constexpr unsigned long kDumpMappedShared = 1ul << 3;

// The root directory as the kernel names it in /proc/self/maps, reached as a table's files are
// (Plinth/TableDir.h: another user's symbolic link above it is not followed), with one trailing
// '/', so that a sibling directory whose name merely starts with the root's does not match.
// "" when no table of the root can be opened: then none is mapped either.
std::string rootPrefix() {
    const std::string root =
        resolvedRoot(RootPath(*Pimbo::Platform::getDebugHandler("Mem"), "", false));
    return root.empty() || root == "/" ? root : root + "/";
}

void widenCoredumpFilter() {
    unsigned long filter = 0;
    {
        std::ifstream in("/proc/self/coredump_filter");
        if (!(in >> std::hex >> filter)) {
            return;
        }
    }
    if ((filter & kDumpMappedShared) != 0) {
        return;
    }
    // The kernel reads the value with base detection: without "0x" it would take hex digits
    // for decimal (or, after a leading 0, octal).
    std::ofstream out("/proc/self/coredump_filter");
    out << "0x" << std::hex << (filter | kDumpMappedShared);
}

}  // namespace

void Shared::dumpToCoreIs(bool dumpToCore) {
    dumpToCoreFlag.store(dumpToCore, std::memory_order_relaxed);
}

bool Shared::dumpToCore() {
    return dumpToCoreFlag.load(std::memory_order_relaxed);
}

}  // namespace Mem

namespace Pimbo::Util {

size_t includeShmemInCore() {
    const std::string prefix = Mem::rootPrefix();
    if (prefix.empty())
        return 0;
    // The ranges are collected before any is advised: changing a mapping's flags may split or
    // merge it, which would shift the text of /proc/self/maps under a running read.
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
    {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        // "start-end perms offset dev inode path": shared mappings have 's' as the 4th
        // permission.
        while (std::getline(maps, line)) {
            std::istringstream fields(line);
            std::string range, perms, offset, dev, inode;
            if (!(fields >> range >> perms >> offset >> dev >> inode) || perms.size() < 4 ||
                perms[3] != 's') {
                continue;
            }
            std::string path;
            std::getline(fields >> std::ws, path);
            const size_t dash = range.find('-');
            if (path.compare(0, prefix.size(), prefix) != 0 || dash == std::string::npos) {
                continue;
            }
            const uintptr_t start = std::strtoull(range.c_str(), nullptr, 16);
            const uintptr_t end = std::strtoull(range.c_str() + dash + 1, nullptr, 16);
            if (end > start) {
                ranges.emplace_back(start, end);
            }
        }
    }
    size_t marked = 0;
    for (const auto& [start, end] : ranges) {
        if (::madvise(reinterpret_cast<void*>(start), end - start, MADV_DODUMP) == 0) {
            ++marked;
        }
    }
    Mem::widenCoredumpFilter();
    return marked;
}

}  // namespace Pimbo::Util
