#include "Ruxa/RuxaWriter.h"

#include "Mem/TableDir.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"

#include <cstring>

namespace Ruxa {

RuxaWriter::RuxaWriter(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                       Vesk::Writer::Counters& counters, Geometry geometry)
    : Pimbo::Debuggable(handler, "RuxaWriter"),
      rootPath_(rootPath),
      counters_(counters),
      geometry_(geometry),
      region_(handler, rootPath, QueueLayout::kFileName, false) {
    if (geometry.numBuffers < QueueLayout::kMinBuffers ||
        geometry.numBuffers > QueueLayout::kMaxBuffers || geometry.bufferEntries == 0 ||
        geometry.bufferEntries > QueueLayout::kMaxBufferEntries) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "notification queue of {}: bad ring of {} buffers of {} entries", rootPath,
                    geometry.numBuffers, geometry.bufferEntries);
    }
}

RuxaWriter::~RuxaWriter() {
    detach();
}

uint32_t RuxaWriter::withdraw(Pimbo::Platform::DebugHandler& handler,
                              const Vesk::RootPath& rootPath, Mem::PlinthWrapper& region) {
    char* base = static_cast<char*>(region.base());
    if (base == nullptr) {
        if (region.fileSize() < QueueLayout::kHeaderSize)
            return 0;  // no queue (or none a reader could have attached to)
        base = static_cast<char*>(
            region.attach(QueueLayout::kHeaderSize, Mem::PlinthWrapper::kWriter));
        if (base == nullptr) {
            // Not a file of ours (a reader refuses it too); the rename that follows replaces it.
            PIMBO_TRACE_TO(handler, "RuxaWriter", 1, "cannot withdraw {}: {}", rootPath,
                           region.errorText());
            return 0;
        }
    }
    uint64_t magic;
    std::memcpy(&magic, QueueLayout::kMagic, sizeof(magic));
    uint32_t old = 0;
    if (Mem::loadAcquire64(base + QueueLayout::kOffMagic) == magic)
        old = Mem::loadAcquire32(base + QueueLayout::kOffGeneration);
    Mem::storeRelease32(base + QueueLayout::kOffGeneration, 0);  // Q5
    region.detach();
    return old;
}

void RuxaWriter::attach(Plinth::CinderId cinder) {
    base_ = nullptr;
    const uint32_t old = withdraw(debugHandler(), rootPath_, region_);
    cinder_ = cinder;
    QueueHeader h;
    h.numBuffers = geometry_.numBuffers;
    h.bufferEntries = geometry_.bufferEntries;
    h.cinder = cinder.value;
    h.sequenceBase = counters_.sequence;
    h.generation = old + 1 == 0 ? 1 : old + 1;
    const std::string image = formatQueue(h);
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath_, Mem::TableDir::Access::writer, error);
    if (!dir.valid() ||
        !dir.replaceFile(QueueLayout::kFileName, image.data(), image.size(), error)) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot create notification queue {}: {}",
                    rootPath_.filePath(QueueLayout::kFileName), error.text);
    }
    void* base = region_.attach(image.size(), Mem::PlinthWrapper::kWriter);
    if (base == nullptr) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot map notification queue {}: {}",
                    region_.getFilename(), region_.errorText());
    }
    base_ = static_cast<char*>(base);
    header_ = h;
    bufferSize_ = h.bufferSize();
    current_ = 0;
    count_ = 0;
    PIMBO_TRACE(1, "{} {}", region_.getFilename(), header_.toString());
    // Without the socket the followers poll: a writer that cannot listen still publishes.
    std::string why;
    if (!wake_.listening() && !wake_.open(rootPath_, why))
        PIMBO_TRACE(1, "{}; followers poll", why);
    storeFollowers();  // a new generation keeps the followers of the old one
}

void RuxaWriter::renew() {
    PIMBO_TRACE(1, "{}: new generation at sequence {}", region_.getFilename(), counters_.sequence);
    attach(cinder_);
}

void RuxaWriter::detach() {
    wake_.close();
    storeFollowers();  // 0: the file stays, its followers are dropped
    region_.detach();
    base_ = nullptr;
}

bool RuxaWriter::remove() {
    detach();
    return removeQueue(debugHandler(), rootPath_);
}

bool RuxaWriter::removeQueue(Pimbo::Platform::DebugHandler& handler,
                             const Vesk::RootPath& rootPath) {
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
    if (!dir.valid())
        return true;  // nothing to remove (a missing directory holds no queue either)
    WakeSender::removeSocket(dir);
    if (!dir.exists(QueueLayout::kFileName))
        return true;
    Mem::PlinthWrapper region(handler, rootPath, QueueLayout::kFileName, false);
    withdraw(handler, rootPath, region);
    return rootPath.removeFile(QueueLayout::kFileName);
}

bool RuxaWriter::tombstone(uint64_t sequence) {
    if (base_ == nullptr || sequence <= header_.sequenceBase || sequence > counters_.sequence)
        return false;
    const uint64_t index = sequence - header_.sequenceBase - 1;
    const uint64_t turn = index / header_.bufferEntries;
    char* buffer = bufferAt(uint32_t(turn % header_.numBuffers));
    const uint64_t first = header_.sequenceBase + 1 + turn * header_.bufferEntries;
    if (Mem::loadRelaxed64(buffer + QueueLayout::kOffFirstSequence) != first)
        return false;  // recycled since
    char* entry = buffer + QueueLayout::kOffEntries +
                  QueueLayout::kEntrySize * (index % header_.bufferEntries);
    Mem::storeRelease32(entry + QueueLayout::kOffEntrySlot, QueueLayout::kTombstone);  // Q6
    return true;
}

}  // namespace Ruxa
