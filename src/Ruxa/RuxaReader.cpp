#include "Ruxa/RuxaReader.h"

#include <cstring>

namespace Ruxa {

template <class Slot>
RuxaReader<Slot>::RuxaReader(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                             Vesk::Reader::Counters& counters)
    : Pimbo::Debuggable(handler, "RuxaReader"),
      counters_(counters),
      rootPath_(rootPath),
      region_(handler, rootPath, QueueLayout::kFileName, false) {}

template <class Slot>
void RuxaReader<Slot>::detach() {
    attached_ = false;
    header_ = nullptr;
    buffers_.clear();
    region_.detach();
}

template <class Slot>
bool RuxaReader<Slot>::attach(std::string& why) {
    detach();
    const std::string path = rootPath_.filePath(QueueLayout::kFileName);
    refusal_ = Refusal::unusable;
    auto refuse = [&](std::string reason) {
        why = fmt::format("notification queue {} refused: {}", path, reason);
        PIMBO_TRACE(1, "{}", why);
        detach();
        return false;
    };
    // The header first, then the ring it describes; the file may be replaced in between, so
    // the header is read again from the final mapping and must describe the same ring.
    const uint64_t size = region_.fileSize();
    if (size == 0) {
        refusal_ = Refusal::missing;
        return refuse("missing or empty");
    }
    QueueHeader h;
    std::string reason;
    if (size < QueueLayout::kHeaderSize)
        return refuse(fmt::format("truncated: {} bytes", size));
    const void* base = region_.attach(QueueLayout::kHeaderSize, Mem::PlinthWrapper::kReader);
    if (base == nullptr)
        return refuse(region_.errorText());
    if (!readQueueHeader(base, size, h, reason)) {
        // A queue file of ours whose generation is 0: its writer withdrew it (Q5).
        uint64_t magic;
        std::memcpy(&magic, QueueLayout::kMagic, sizeof(magic));
        const char* header = static_cast<const char*>(base);
        if (Mem::loadAcquire64(QueueLayout::header(header)->magic) == magic &&
            Mem::loadAcquire32(&QueueLayout::header(header)->generation) == 0)
            refusal_ = Refusal::withdrawn;
        return refuse(reason);
    }
    base = region_.attach(h.fileSize(), Mem::PlinthWrapper::kReader);
    if (base == nullptr)
        return refuse(region_.errorText());
    QueueHeader again;
    if (!readQueueHeader(base, h.fileSize(), again, reason))
        return refuse(reason);
    if (again.generation != h.generation || again.fileSize() != h.fileSize())
        return refuse("replaced while attaching");
    const char* header = static_cast<const char*>(base);
    buffers_.clear();
    for (uint32_t b = 0; b < h.numBuffers; ++b) {
        buffers_.push_back(RuxaNotifications{header + QueueLayout::kHeaderSize + b * h.bufferSize(),
                                             h.bufferEntries});
    }
    // The writer's latest entry: its buffer, that buffer's turn and count, read until the turn
    // is the same before and after the count (a writer may recycle the buffer meanwhile).
    for (int attempt = 0; attempt < kLatestAttempts; ++attempt) {
        uint32_t b = 0;
        uint64_t first = 0;
        uint32_t count = 0;
        const bool stable = readLatest(header, b, first, count);
        if (b >= h.numBuffers)
            return refuse(fmt::format("bad currentBuffer: {} of {} buffers", b, h.numBuffers));
        if (!stable)
            continue;
        if (count > h.bufferEntries) {
            return refuse(
                fmt::format("bad count: {} in buffer {} of {} entries", count, b, h.bufferEntries));
        }
        if (first == QueueLayout::kUnused || first <= h.sequenceBase ||
            (first - h.sequenceBase - 1) % h.bufferEntries != 0 ||
            first - h.sequenceBase - 1 + count > 0xFFFFFFFFull) {
            return refuse(fmt::format("bad first sequence: {} in buffer {} (sequence base {})",
                                      first, b, h.sequenceBase));
        }
        if (Mem::loadAcquire32(&QueueLayout::header(header)->generation) != h.generation)
            return refuse("replaced while attaching");
        generation_ = h.generation;
        sequenceBase_ = h.sequenceBase;
        header_ = header;
        currentBuffer_ = b;
        currentPosition_ = count == 0 ? 0 : count - 1;
        readBuffer_ = b;
        expectedFirst_ = first;
        nextPosition_ = count;
        batchAt_ = batchSize_ = 0;
        capacity_ = h.bufferEntries;
        lost_ = Next::none;
        counters_.lastAppliedSequence = first - 1 + count;
        attached_ = true;
        refusal_ = Refusal::none;
        PIMBO_TRACE(2, "{} {} at sequence {}", path, h.toString(), first - 1 + count);
        return true;
    }
    return refuse("the writer recycles buffers faster than this reader can attach");
}

template class RuxaReader<BasicSlot>;

}  // namespace Ruxa
