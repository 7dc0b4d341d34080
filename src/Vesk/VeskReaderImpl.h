// The cold half of the reader: attaching and validating a writer's files, detaching, header
// dumps and the handling of a table that was re-formatted under the reader. The records' layer
// includes this to instantiate it once per record type (FlexCounters2/Instantiations*.cpp);
// nothing else includes it.
#pragma once

#include "Vesk/VeskReader.h"

#include "Mem/Atomics.h"
#include "Pimbo/Util.h"
#include "Plinth/CinderFile.h"
#include "Plinth/TableDir.h"
#include "VeskBase/Compatibility.h"
#include "VeskBase/Util.h"

#include <sys/stat.h>

namespace Vesk {

template <class Ops>
bool VeskReader<Ops>::refuse(AttachFailure failure, std::string message) {
    failure_ = failure;
    failureMessage_ = std::move(message);
    return false;
}

template <class Ops>
const Mem::PlinthWrapper* VeskReader<Ops>::shrunkFile() {
    if (table_.region().lostPages())
        return &table_.region();
    if (hashMap_.buckets().region().lostPages())
        return &hashMap_.buckets().region();
    return nullptr;
}

template <class Ops>
bool VeskReader<Ops>::refuseShrunk(const Mem::PlinthWrapper& file) {
    std::string message = shrankText(file.getFilename());
    hashMap_.buckets().detach();
    table_.detach();
    this->initializedIs(false);
    return refuse(AttachFailure::fileShrank, std::move(message));
}

template <class Ops>
void VeskReader<Ops>::lostPages() {
    seenLosses_ = Mem::MappingRegistry::losses();
    const Mem::PlinthWrapper* file = shrunkFile();
    if (file == nullptr)
        return;  // another reader's mapping
    std::string message = shrankText(file->getFilename());
    PIMBO_TRACE(1, "{}", message);
    detach(false);
    // The next call attaches to the files as they are then.
    generationLost_ = true;
    lastTriedMtime_ = -1;
    throw TableUnreadableException(AttachFailure::fileShrank, std::move(message));
}

template <class Ops>
bool VeskReader<Ops>::refuseUnmapped(const Mem::PlinthWrapper& region, uint64_t headerSize) {
    const uint64_t size = region.memSize();
    if (size >= headerSize) {
        const int e = region.errorNumber();
        return refuse(e != 0 ? attachFailureOf(e) : AttachFailure::cannotMap, region.errorText());
    }
    if (size > 0) {
        return refuse(AttachFailure::notATable,
                      fmt::format("{} holds {} bytes, shorter than its header ({} bytes)",
                                  region.getFilename(), size, headerSize));
    }
    // Nothing was opened: say what stands at the file's name.
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath_, Mem::TableDir::Access::reader, error);
    struct stat st;
    if (!dir.valid())
        return refuse(attachFailureOf(error.errnum), error.text);
    if (!dir.statEntry(region.name(), st))
        return refuse(AttachFailure::noFiles,
                      fmt::format("{} does not exist", region.getFilename()));
    if (!S_ISREG(st.st_mode)) {
        return refuse(AttachFailure::notATable,
                      fmt::format("{} is {}, not a regular file", region.getFilename(),
                                  Mem::fileKindText(st.st_mode)));
    }
    return refuse(AttachFailure::notATable, fmt::format("{} is empty", region.getFilename()));
}

template <class Ops>
bool VeskReader<Ops>::initialize(const std::string& event) {
    if (!Mem::Atomics::checkCpuSupport()) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "Hardware does not support Atomics");
    }
    if (this->initialized())
        return true;
    failure_ = AttachFailure::none;
    failureMessage_.clear();
    if (!hashMap_.buckets().attach()) {
        PIMBO_TRACE(0, "failed to attach to buckets");
        return refuseUnmapped(hashMap_.buckets().region(), sizeof(VeskCore::BucketHeader));
    }
    if (!table_.attach()) {
        PIMBO_TRACE(0, "failed to attach to slots");
        return refuseUnmapped(table_.region(), Table::headerSize);
    }
    const Plinth::CinderFile cinder(debugHandler(), rootPath_, false);
    cinderId_ = cinder.read();
    const double mtime = cinder.mtime();
    if (cinderId_.isNone()) {
        PIMBO_TRACE(0, "failed to read cinder file");
        if (debugHandler().enabled(0))
            PIMBO_TRACE(0, "{}", dumpHeaders());
        // The writer writes the cinder file last, once both files are complete.
        return mtime == 0
                   ? refuse(AttachFailure::noFiles,
                            fmt::format("{} does not exist: the writer has not completed "
                                        "the files",
                                        cinder.path()))
                   : refuse(AttachFailure::corrupt, fmt::format("{} is damaged", cinder.path()));
    }
    std::string reason;
    if (const AttachFailure failure = hashMap_.buckets().validate(cinderId_, reason);
        failure != AttachFailure::none) {
        if (const Mem::PlinthWrapper* file = shrunkFile())
            return refuseShrunk(*file);  // zeros read from a file cut short are no damage
        PIMBO_TRACE(0, "failed to validate buckets");
        if (debugHandler().enabled(0))
            PIMBO_TRACE(0, "{}", dumpHeaders());
        if (writesMarker_)
            Util::writeCorruptionFile(debugHandler(), rootPath_, reason);
        return refuse(failure, fmt::format("{}: {}", hashMap_.buckets().fileName(), reason));
    }
    // The header copy that is validated is also the one whose generation (cinder id and hash
    // seed) the reader keeps: a re-format between attach and here cannot slip through.
    typename Table::HeaderCopy copy;
    const uint64_t fileSize = table_.headerCopy(copy);
    if (const AttachFailure failure = copy.header().validate(
            debugHandler(), fileSize, cinderId_, reason, Ops::typeName(), Ops::valueSize);
        failure != AttachFailure::none) {
        if (const Mem::PlinthWrapper* file = shrunkFile())
            return refuseShrunk(*file);
        PIMBO_TRACE(0, "failed to validate slots");
        if (debugHandler().enabled(0))
            PIMBO_TRACE(0, "{}", dumpHeaders());
        if (writesMarker_)
            Util::writeCorruptionFile(debugHandler(), rootPath_, reason);
        return refuse(failure, fmt::format("{}: {}", table_.region().getFilename(), reason));
    }
    if (const Mem::PlinthWrapper* file = shrunkFile())
        return refuseShrunk(*file);
    table_.generationIs(copy.header());
    this->initializedIs(true);
    generationLost_ = false;
    PIMBO_TRACE(1, "success {} capacity:{} cinderId:{} mtime:{} delay:{} event:{}", rootPath_,
                capacity(), cinderId_, mtime, Pimbo::time() - mtime, event);
    return true;
}

template <class Ops>
void VeskReader<Ops>::detach(bool) {
    generationLost_ = false;
    if (!this->initialized()) {
        PIMBO_TRACE(5, "already detached");
        return;
    }
    hashMap_.buckets().detach();
    table_.detach();
    this->initializedIs(false);
    PIMBO_TRACE(1, "{} detached", rootPath_);
}

template <class Ops>
std::string VeskReader<Ops>::dumpHeaders() const {
    return fmt::format("Vesk table \"{}\"\n\n\n{}\n\n{}\n\n", rootPath_, table_.headerText(),
                       hashMap_.buckets().toString());
}

template <class Ops>
bool VeskReader<Ops>::generationChanged() {
    ++counters_->generationChanges;
    const std::string was =
        fmt::format("cinderId:{} hashSeed:{}", cinderId_, table_.attachedHashSeed());
    const std::string now =
        fmt::format("cinderId:{} hashSeed:{} bucket cinderId:{}", table_.liveCinder(),
                    table_.liveHashSeed(), hashMap_.buckets().liveCinder());
    PIMBO_TRACE(1, "{} table generation changed from {} to {}, re-attaching", rootPath_, was, now);
    detach(false);
    generationLost_ = true;
    lastTriedCinder_ = Plinth::CinderId();
    lastTriedMtime_ = -1;
    if (!reattach())
        return false;
    PIMBO_TRACE(1, "{} re-attached: was {}, is now cinderId:{} hashSeed:{}", rootPath_, was,
                cinderId_, table_.attachedHashSeed());
    return true;
}

template <class Ops>
bool VeskReader<Ops>::followFiles() {
    if (this->initialized() && table_.region().unlinked()) {
        PIMBO_TRACE(1, "{}: the mapped files were removed", rootPath_);
        generationChanged();
    }
    if (!this->initialized() && generationLost_)
        reattach();
    return this->initialized();
}

template <class Ops>
bool VeskReader<Ops>::reattach() {
    if (!generationLost_) {
        PIMBO_TRACE(5, "bucket table detached");
        return false;
    }
    // Only a cinder file that changed since the last failed attempt can make a new attempt
    // succeed: the writer writes it last, when both files are complete.
    const Plinth::CinderFile cinder(debugHandler(), rootPath_, false);
    const Plinth::CinderId id = cinder.read();
    const double mtime = cinder.mtime();
    if (lastTriedMtime_ >= 0 && id == lastTriedCinder_ && mtime == lastTriedMtime_)
        return false;
    lastTriedCinder_ = id;
    lastTriedMtime_ = mtime;
    bool ok = false;
    try {
        ok = initialize("generation changed");
    } catch (const Pimbo::Exception& e) {
        PIMBO_TRACE(0, "{} re-attach failed: {}", rootPath_, e.msg());
    }
    if (!ok) {
        PIMBO_TRACE(1, "{} not attached after a generation change; answering as unmounted",
                    rootPath_);
        return false;
    }
    generationLost_ = false;
    return true;
}

}  // namespace Vesk
