#include "Ruxa/RuxaQueue.h"

#include "Mem/Atomic.h"
#include "Pimbo/HashMix.h"

#include <fmt/format.h>

#include <cstring>

namespace Ruxa {
namespace {

using L = QueueLayout;

}  // namespace

std::string QueueHeader::toString() const {
    return fmt::format("generation:{} buffers:{} entries:{} sequenceBase:{} cinder:{:#x}",
                       generation, numBuffers, bufferEntries, sequenceBase, cinder);
}

uint32_t queueChecksum(const void* header) {
    Pimbo::Impl::HashMix<uint32_t> mix;
    mix.add(static_cast<const char*>(header) + L::kChecksummed,
            L::kChecksummedEnd - L::kChecksummed);
    return mix.value();
}

std::string formatQueue(const QueueHeader& h) {
    std::string s(h.fileSize(), '\0');
    QueueFileHeader head{};
    std::memcpy(head.magic, L::kMagic, sizeof(L::kMagic));
    head.version = L::kVersion;
    head.headerSize = uint32_t(L::kHeaderSize);
    head.numBuffers = h.numBuffers;
    head.bufferEntries = h.bufferEntries;
    head.bufferSize = uint32_t(h.bufferSize());
    head.cinder = h.cinder;
    head.sequenceBase = h.sequenceBase;
    head.generation = h.generation;
    head.currentBuffer = 0;
    head.checksum = queueChecksum(&head);
    std::memcpy(s.data(), &head, sizeof(head));
    for (uint32_t b = 0; b < h.numBuffers; ++b) {
        const uint64_t first = b == 0 ? h.sequenceBase + 1 : L::kUnused;
        std::memcpy(s.data() + L::kHeaderSize + b * h.bufferSize(), &first, sizeof(first));
    }
    return s;
}

bool readQueueHeader(const void* header, uint64_t fileBytes, QueueHeader& out,
                     std::string& reason) {
    if (fileBytes < L::kHeaderSize) {
        reason = fmt::format("truncated: {} bytes, fewer than its {}-byte header", fileBytes,
                             L::kHeaderSize);
        return false;
    }
    // One copy of the header, word by word; the checks below look at the copy only.
    QueueFileHeader h;
    for (uint64_t off = 0; off < L::kHeaderSize; off += 4) {
        const uint32_t w = Mem::loadAcquire32(static_cast<const char*>(header) + off);
        std::memcpy(reinterpret_cast<char*>(&h) + off, &w, 4);
    }
    if (std::memcmp(h.magic, L::kMagic, sizeof(L::kMagic)) != 0) {
        uint64_t magic = 0;
        std::memcpy(&magic, h.magic, sizeof(magic));
        reason = fmt::format("bad magic: {:x}", magic);
        return false;
    }
    if (h.version != L::kVersion) {
        reason = fmt::format("bad version: {} (expected {})", h.version, L::kVersion);
        return false;
    }
    if (h.headerSize != L::kHeaderSize) {
        reason = fmt::format("bad headerSize: {} (expected {})", h.headerSize, L::kHeaderSize);
        return false;
    }
    out.numBuffers = h.numBuffers;
    out.bufferEntries = h.bufferEntries;
    if (out.numBuffers < L::kMinBuffers || out.numBuffers > L::kMaxBuffers) {
        reason = fmt::format("bad numBuffers: {} (between {} and {})", out.numBuffers,
                             L::kMinBuffers, L::kMaxBuffers);
        return false;
    }
    if (out.bufferEntries == 0 || out.bufferEntries > L::kMaxBufferEntries) {
        reason = fmt::format("bad bufferEntries: {} (between 1 and {})", out.bufferEntries,
                             L::kMaxBufferEntries);
        return false;
    }
    if (h.bufferSize != out.bufferSize()) {
        reason = fmt::format("bad bufferSize: {} for {} entries (expected {})", h.bufferSize,
                             out.bufferEntries, out.bufferSize());
        return false;
    }
    if (h.checksum != queueChecksum(&h)) {
        reason = fmt::format("bad checksum: {:#x} (computed {:#x})", h.checksum, queueChecksum(&h));
        return false;
    }
    if (fileBytes < out.fileSize()) {
        reason = fmt::format("truncated: {} bytes, fewer than the {} of {} buffers of {} entries",
                             fileBytes, out.fileSize(), out.numBuffers, out.bufferEntries);
        return false;
    }
    out.cinder = h.cinder;
    out.sequenceBase = h.sequenceBase;
    out.generation = h.generation;
    out.followers = h.followers;
    out.refused = h.refused;
    if (out.generation == 0) {
        reason = "generation 0: the queue is being replaced";
        return false;
    }
    return true;
}

}  // namespace Ruxa
