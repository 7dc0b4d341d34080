#include "Ruxa/RuxaWriter.h"

#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/TableDir.h"

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

namespace {

// The header of the queue mapped at `base`, when it is one: its generation and table generation.
bool queueAt(const char* base, uint32_t& generation, uint32_t& cinder) {
    uint64_t magic;
    std::memcpy(&magic, QueueLayout::kMagic, sizeof(magic));
    if (base == nullptr || Mem::loadAcquire64(QueueLayout::header(base)->magic) != magic)
        return false;
    generation = Mem::loadAcquire32(&QueueLayout::header(base)->generation);
    cinder = Mem::loadAcquire32(&QueueLayout::header(base)->cinder);
    return true;
}

// Maps the header of the queue file of `region` unless it is mapped; null when there is no
// file a reader could have attached to.
char* mapHeader(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                Mem::PlinthWrapper& region) {
    char* base = static_cast<char*>(region.base());
    if (base != nullptr || region.fileSize() < QueueLayout::kHeaderSize)
        return base;
    base = static_cast<char*>(region.attach(QueueLayout::kHeaderSize, Mem::PlinthWrapper::kWriter));
    if (base == nullptr) {
        // Not a file of ours (a reader refuses it too); a rename replaces it.
        PIMBO_TRACE_TO(handler, "RuxaWriter", 1, "cannot withdraw {}: {}", rootPath,
                       region.errorText());
    }
    return base;
}

}  // namespace

uint32_t RuxaWriter::withdraw(Pimbo::Platform::DebugHandler& handler,
                              const Vesk::RootPath& rootPath, Mem::PlinthWrapper& region) {
    char* base = mapHeader(handler, rootPath, region);
    if (base == nullptr)
        return 0;
    uint32_t old = 0, cinder = 0;
    if (!queueAt(base, old, cinder))
        old = 0;
    Mem::storeRelease32(&QueueLayout::header(base)->generation, 0);  // Q5
    region.detach();
    return old;
}

void RuxaWriter::holdOld(uint32_t& generation, uint32_t& cinder) {
    generation = 0;
    cinder = 0;
    if (!queueAt(mapHeader(debugHandler(), rootPath_, region_), generation, cinder))
        generation = 0;
}

void RuxaWriter::withdrawHeld() {
    if (region_.base() != nullptr)
        Mem::storeRelease32(&QueueLayout::header(static_cast<char*>(region_.base()))->generation,
                            0);  // Q5
    region_.detach();
    base_ = nullptr;
}

bool RuxaWriter::replace(Plinth::CinderId cinder, std::string& why) {
    uint32_t old = 0, oldCinder = 0;
    holdOld(old, oldCinder);
    QueueHeader h;
    h.numBuffers = geometry_.numBuffers;
    h.bufferEntries = geometry_.bufferEntries;
    h.cinder = cinder.value;
    h.sequenceBase = counters_.sequence;
    h.generation = old + 1 == 0 ? 1 : old + 1;
    const std::string image = formatQueue(h);
    // Into the table's directory as it is: one removed under the writer is not made again.
    Mem::FileError error;
    const Mem::TableDir dir =
        Mem::TableDir::open(rootPath_, Mem::TableDir::Access::writerExisting, error);
    if (!dir.valid() ||
        !dir.replaceFile(QueueLayout::kFileName, image.data(), image.size(), error)) {
        why = fmt::format("cannot create notification queue {} ({} bytes beside the old one): {}",
                          rootPath_.filePath(QueueLayout::kFileName), image.size(), error.text);
        return false;
    }
    // The new queue is in place: the old one (still mapped) says it was replaced before
    // anything is published in the new one (Q5).
    withdrawHeld();
    void* base = region_.attach(image.size(), Mem::PlinthWrapper::kWriter);
    if (base == nullptr) {
        why = fmt::format("cannot map notification queue {}: {}", region_.getFilename(),
                          region_.errorText());
        // Nobody may take the new file for a live queue this writer does not fill.
        withdraw(debugHandler(), rootPath_, region_);
        return false;
    }
    base_ = static_cast<char*>(base);
    header_ = h;
    bufferSize_ = h.bufferSize();
    current_ = 0;
    count_ = 0;
    return true;
}

void RuxaWriter::attach(Plinth::CinderId cinder) {
    base_ = nullptr;
    cinder_ = cinder;
    std::string why;
    if (!replace(cinder, why)) {
        // A restart that reuses the table's files leaves its followers a queue that still
        // describes the table; one made for another generation of it is withdrawn.
        uint32_t generation = 0, made = 0;
        if (queueAt(static_cast<const char*>(region_.base()), generation, made) &&
            made == cinder.value)
            region_.detach();
        else
            withdrawHeld();
        PIMBO_THROW(Pimbo::InvalidInitializeException, "{}", why);
    }
    stopped_ = false;
    PIMBO_TRACE(1, "{} {}", region_.getFilename(), header_.toString());
    // Without the socket the followers poll: a writer that cannot listen still publishes.
    if (!wake_.listening() && !wake_.open(rootPath_, why))
        PIMBO_TRACE(1, "{}; followers poll", why);
    wake_.onFollowersChanged([this] { storeFollowers(); });
    storeFollowers();  // a new generation keeps the followers of the old one
}

bool RuxaWriter::renew() {
    if (stopped_)
        return false;
    PIMBO_TRACE(1, "{}: new generation at sequence {}", region_.getFilename(), counters_.sequence);
    std::string why;
    if (replace(cinder_, why))
        return true;
    // Its followers must not take the old queue for current while changes go unpublished: it
    // is withdrawn, and closing the wake-up socket sends them to read it at once.
    withdrawHeld();
    wake_.close();
    stopped_ = true;
    ++counters_.queueFailures;
    PIMBO_TRACE(0, "{}; notifications stop until the writer starts again", why);
    return false;
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
    if (Mem::loadRelaxed64(&QueueLayout::bufferHead(buffer)->firstSequence) != first)
        return false;  // recycled since
    QueueEntry* entry = QueueLayout::entry(buffer, index % header_.bufferEntries);
    Mem::storeRelease32(&entry->slot, QueueLayout::kTombstone);  // Q6
    return true;
}

}  // namespace Ruxa
