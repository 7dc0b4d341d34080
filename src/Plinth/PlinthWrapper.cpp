#include "Plinth/PlinthWrapper.h"

#include "Mem/MappingRegistry.h"
#include "Mem/Util.h"
#include "Pimbo/Exception.h"
#include "Plinth/TableDir.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <utility>

namespace Mem {
namespace {

uint64_t roundUpToPage(uint64_t n) {
    const uint64_t page = pageSize_;
    return (n + page - 1) / page * page;
}

// The size of a huge page: mappings of at least this size start on such a boundary.
constexpr uint64_t kHugeAlign = 2ull << 20;

const char* modeName(int mode) {
    return mode == PlinthWrapper::kWriter ? "writer" : "reader";
}

}  // namespace

PlinthWrapper::PlinthWrapper(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                             std::string fileName, bool local)
    : Pimbo::Debuggable(handler, "PlinthWrapper"),
      rootPath_(rootPath),
      fileName_(std::move(fileName)),
      path_(rootPath_.filePath(fileName_)),
      isLocal_(local) {}

PlinthWrapper::~PlinthWrapper() {
    detach();
}

void PlinthWrapper::fail(std::string text) {
    errorText_ = std::move(text);
    PIMBO_TRACE(2, "{}", errorText_);
}

bool PlinthWrapper::checkSize(const char* operation, uint64_t size) {
    if (size >= Local::maxMappingSize()) {
        fail(fmt::format("cannot {} {} at {} bytes: not below the largest mapping {}", operation,
                         path_, size, Local::maxMappingSize()));
        return false;
    }
    return true;
}

bool PlinthWrapper::extendFile(uint64_t size) {
    if (size == 0) {
        return true;
    }
    // Allocates every block below `size`, holes left by punchHole included; a file that is
    // already longer keeps its length.
    int rc;
    do {
        rc = ::posix_fallocate(fd_.get(), 0, off_t(size));
    } while (rc == EINTR);
    if (rc != 0) {
        fail(fmt::format("posix_fallocate {} to {} bytes: {}", path_, size, std::strerror(rc)));
        return false;
    }
    return true;
}

bool PlinthWrapper::fileHolds(uint64_t size) {
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) {
        fail(fmt::format("fstat {}: {}", path_, std::strerror(errno)));
        return false;
    }
    if (uint64_t(st.st_size) < size) {
        fail(fmt::format("{} holds {} bytes, fewer than the {} bytes to map", path_, st.st_size,
                         size));
        return false;
    }
    return true;
}

void* PlinthWrapper::mapFile(uint64_t size, void* hint) {
    const uint64_t span = roundUpToPage(size);
    const uint64_t reserved = span + pageSize_;
    // The whole range starts as PROT_NONE; the file then covers its start and the last page
    // stays the guard.
    // A large mapping without a wanted address reserves room to start on a huge-page boundary
    // and gives back what lies before and after the aligned range.
    const uint64_t slack = hint == nullptr && span >= kHugeAlign ? kHugeAlign - pageSize_ : 0;
    void* range = ::mmap(hint, reserved + slack, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) {
        fail(fmt::format("mmap {}: cannot reserve {} bytes: {}", path_, reserved + slack,
                         std::strerror(errno)));
        return nullptr;
    }
    if (slack != 0) {
        char* start = static_cast<char*>(range);
        char* aligned = reinterpret_cast<char*>(
            (reinterpret_cast<uintptr_t>(start) + kHugeAlign - 1) & ~(kHugeAlign - 1));
        if (aligned != start)
            ::munmap(start, uint64_t(aligned - start));
        const uint64_t after = slack - uint64_t(aligned - start);
        if (after != 0)
            ::munmap(aligned + reserved, after);
        range = aligned;
    }
    if (size > 0) {
        const int prot = mode_ == kWriter ? PROT_READ | PROT_WRITE : PROT_READ;
        void* p = ::mmap(range, size, prot, MAP_SHARED | MAP_FIXED, fd_.get(), 0);
        if (p == MAP_FAILED) {
            const int err = errno;
            ::munmap(range, reserved);
            fail(fmt::format("mmap {} {} bytes as {}: {}", path_, size, modeName(mode_),
                             std::strerror(err)));
            return nullptr;
        }
    }
    // Names the file to a SIGBUS handler; a reader's range is guarded (Mem/MappingRegistry.h).
    MappingRegistry::add(range, size, path_, mode_ == kReader);
    return range;
}

void* PlinthWrapper::attach(uint64_t size, int mode, void* address) {
    detach();
    if (mode != kWriter && mode != kReader) {
        fail(fmt::format("cannot attach {}: bad mode {}", path_, mode));
        return nullptr;
    }
    mode_ = mode;
    errno_ = 0;
    lostPages_ = false;
    PIMBO_TRACE(5, "{} size:{} as {}", path_, size, modeName(mode));
    if (isLocal_) {
        void* p = local_.attach(size);
        if (p == nullptr) {
            fail(local_.errorText());
        }
        return p;
    }
    if (!checkSize("attach", size)) {
        return nullptr;
    }

    // Through the table directory's door: no symbolic link, FIFO or foreign directory is ever
    // followed, and a writer's file gets the table's mode whatever the umask.
    FileError error;
    const TableDir dir = TableDir::open(
        rootPath_, mode == kWriter ? TableDir::Access::writer : TableDir::Access::reader, error);
    Pimbo::Fd file;
    if (!dir.valid()) {
        error.text = fmt::format("cannot open {}: {}", path_, error.text);
    } else {
        file = dir.openFile(
            fileName_, mode == kWriter ? TableDir::FileAccess::create : TableDir::FileAccess::read,
            error);
    }
    if (!file) {
        errno_ = error.errnum;
        fail(error.text);
        return nullptr;
    }
    fd_ = std::move(file);
    const bool sized = mode == kWriter ? extendFile(size) : fileHolds(size);
    void* p = sized ? mapFile(size, address) : nullptr;
    if (p == nullptr) {
        fd_.reset();
        return nullptr;
    }
    base_ = static_cast<char*>(p);
    mappedSize_ = size;
    return base_;
}

void* PlinthWrapper::resize(uint64_t size) {
    if (isLocal_) {
        void* p = local_.resize(size);
        if (p == nullptr) {
            fail(local_.errorText());
        }
        return p;
    }
    if (base_ == nullptr) {
        fail(fmt::format("cannot resize {} to {} bytes: not attached", path_, size));
        return nullptr;
    }
    if (!checkSize("resize", size)) {
        return nullptr;
    }
    if (!(mode_ == kWriter ? extendFile(size) : fileHolds(size))) {
        return nullptr;
    }

    PIMBO_TRACE(5, "{} from {} to {} bytes", path_, mappedSize_, size);
    const uint64_t oldSpan = roundUpToPage(mappedSize_);
    const uint64_t newSpan = roundUpToPage(size);
    if (newSpan == oldSpan) {
        forget();  // the registry holds the mapped length
        MappingRegistry::add(base_, size, path_, mode_ == kReader);
        mappedSize_ = size;
        return base_;
    }
    if (newSpan < oldSpan) {
        // Shrink in place: the first page past the new end becomes the guard, the rest goes.
        // The registry learns the new length first: no range it holds is ever unmapped.
        forget();
        MappingRegistry::add(base_, size, path_, mode_ == kReader);
        void* guard = ::mmap(base_ + newSpan, pageSize_, PROT_NONE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
        if (guard != MAP_FAILED) {
            ::munmap(base_ + newSpan + pageSize_, oldSpan - newSpan);
            mappedSize_ = size;
            return base_;
        }
        forget();
        MappingRegistry::add(base_, mappedSize_, path_, mode_ == kReader);
    }
    // A new mapping first, so that the old one stays valid when this fails.
    void* p = mapFile(size, nullptr);
    if (p == nullptr) {
        return nullptr;
    }
    forget();
    ::munmap(base_, oldSpan + pageSize_);
    base_ = static_cast<char*>(p);
    mappedSize_ = size;
    return base_;
}

bool PlinthWrapper::punchHole(uint64_t offset) {
    if (isLocal_) {
        if (local_.attached() && offset < local_.size()) {
            std::memset(static_cast<char*>(local_.base()) + offset, 0, local_.size() - offset);
        }
        return true;
    }
    if (!fd_ || mode_ != kWriter) {
        fail(fmt::format("cannot punch a hole into {}: not attached as writer", path_));
        return false;
    }
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) {
        fail(fmt::format("fstat {}: {}", path_, std::strerror(errno)));
        return false;
    }
    const uint64_t fileBytes = uint64_t(st.st_size);
    if (offset >= fileBytes) {
        return true;
    }
    PIMBO_TRACE(5, "{} from {} to {}", path_, offset, fileBytes);
    if (::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(offset),
                    off_t(fileBytes - offset)) != 0) {
        fail(fmt::format("cannot punch a hole into {} from {} to {}: {}", path_, offset, fileBytes,
                         std::strerror(errno)));
        return false;
    }
    return true;
}

void PlinthWrapper::detach() {
    if (isLocal_) {
        local_.detach();
        return;
    }
    if (base_ != nullptr) {
        forget();
        ::munmap(base_, roundUpToPage(mappedSize_) + pageSize_);
        base_ = nullptr;
        mappedSize_ = 0;
    }
    fd_.reset();
}

uint64_t PlinthWrapper::memSize() const {
    if (isLocal_) {
        return local_.size();
    }
    struct stat st;
    if (fd_)
        return ::fstat(fd_.get(), &st) == 0 ? uint64_t(st.st_size) : 0;
    return fileSize();
}

uint64_t PlinthWrapper::mappedSize() const {
    return isLocal_ ? local_.size() : mappedSize_;
}

uint64_t PlinthWrapper::fileSize() const {
    if (isLocal_) {
        return local_.size();
    }
    FileError error;
    const TableDir dir = TableDir::open(rootPath_, TableDir::Access::reader, error);
    struct stat st;
    return dir.statEntry(fileName_, st) && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
}

bool PlinthWrapper::remove() {
    detach();
    if (isLocal_)
        return true;
    return rootPath_.removeFile(fileName_);
}

void PlinthWrapper::forget() {
    if (MappingRegistry::remove(base_))
        lostPages_ = true;
}

bool PlinthWrapper::lostPages() const {
    return lostPages_ || (base_ != nullptr && MappingRegistry::lost(base_));
}

bool PlinthWrapper::unlinked() const {
    struct stat st;
    return !isLocal_ && fd_ && ::fstat(fd_.get(), &st) == 0 && st.st_nlink == 0;
}

std::string PlinthWrapper::errorText() const {
    return errorText_;
}

void* PlinthWrapper::base() const {
    return isLocal_ ? local_.base() : base_;
}

}  // namespace Mem
