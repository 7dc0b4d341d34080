#include "Ruxa/RuxaQueue.h"

#include "Mem/Atomic.h"
#include "Pimbo/HashMix.h"

#include <fmt/format.h>

#include <cstring>

namespace Ruxa {
namespace {

using L = QueueLayout;

template <class T>
T get(const unsigned char* p, uint64_t off) {
    T v;
    std::memcpy(&v, p + off, sizeof(T));
    return v;
}
template <class T>
void put(std::string& s, uint64_t off, T v) {
    std::memcpy(s.data() + off, &v, sizeof(T));
}

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
    std::memcpy(s.data() + L::kOffMagic, L::kMagic, sizeof(L::kMagic));
    put<uint32_t>(s, L::kOffVersion, L::kVersion);
    put<uint32_t>(s, L::kOffHeaderSize, uint32_t(L::kHeaderSize));
    put<uint32_t>(s, L::kOffNumBuffers, h.numBuffers);
    put<uint32_t>(s, L::kOffBufferEntries, h.bufferEntries);
    put<uint32_t>(s, L::kOffBufferSize, uint32_t(h.bufferSize()));
    put<uint32_t>(s, L::kOffCinder, h.cinder);
    put<uint64_t>(s, L::kOffSequenceBase, h.sequenceBase);
    put<uint32_t>(s, L::kOffGeneration, h.generation);
    put<uint32_t>(s, L::kOffCurrentBuffer, 0);
    put<uint32_t>(s, L::kOffChecksum, queueChecksum(s.data()));
    for (uint32_t b = 0; b < h.numBuffers; ++b) {
        const uint64_t at = L::kHeaderSize + b * h.bufferSize();
        put<uint64_t>(s, at + L::kOffFirstSequence, b == 0 ? h.sequenceBase + 1 : L::kUnused);
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
    unsigned char h[L::kHeaderSize];
    for (uint64_t off = 0; off < L::kHeaderSize; off += 4) {
        const uint32_t w = Mem::loadAcquire32(static_cast<const char*>(header) + off);
        std::memcpy(h + off, &w, 4);
    }
    if (std::memcmp(h + L::kOffMagic, L::kMagic, sizeof(L::kMagic)) != 0) {
        reason = fmt::format("bad magic: {:x}", get<uint64_t>(h, L::kOffMagic));
        return false;
    }
    const uint32_t version = get<uint32_t>(h, L::kOffVersion);
    if (version != L::kVersion) {
        reason = fmt::format("bad version: {} (expected {})", version, L::kVersion);
        return false;
    }
    const uint32_t headerSize = get<uint32_t>(h, L::kOffHeaderSize);
    if (headerSize != L::kHeaderSize) {
        reason = fmt::format("bad headerSize: {} (expected {})", headerSize, L::kHeaderSize);
        return false;
    }
    out.numBuffers = get<uint32_t>(h, L::kOffNumBuffers);
    out.bufferEntries = get<uint32_t>(h, L::kOffBufferEntries);
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
    const uint32_t bufferSize = get<uint32_t>(h, L::kOffBufferSize);
    if (bufferSize != out.bufferSize()) {
        reason = fmt::format("bad bufferSize: {} for {} entries (expected {})", bufferSize,
                             out.bufferEntries, out.bufferSize());
        return false;
    }
    const uint32_t checksum = get<uint32_t>(h, L::kOffChecksum);
    if (checksum != queueChecksum(h)) {
        reason = fmt::format("bad checksum: {:#x} (computed {:#x})", checksum, queueChecksum(h));
        return false;
    }
    if (fileBytes < out.fileSize()) {
        reason = fmt::format("truncated: {} bytes, fewer than the {} of {} buffers of {} entries",
                             fileBytes, out.fileSize(), out.numBuffers, out.bufferEntries);
        return false;
    }
    out.cinder = get<uint32_t>(h, L::kOffCinder);
    out.sequenceBase = get<uint64_t>(h, L::kOffSequenceBase);
    out.generation = get<uint32_t>(h, L::kOffGeneration);
    out.followers = get<uint32_t>(h, L::kOffFollowers);
    out.refused = get<uint32_t>(h, L::kOffRefused);
    if (out.generation == 0) {
        reason = "generation 0: the queue is being replaced";
        return false;
    }
    return true;
}

}  // namespace Ruxa
