// The cold half of the reader: attaching and validating a writer's files, detaching, header
// dumps and the handling of a table that was re-formatted under the reader. Instantiated once
// per record type.
#include "Vesk/VeskReader.h"

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Mem/Atomics.h"
#include "Pimbo/Util.h"
#include "Plinth/CinderFile.h"
#include "Vesk/Util.h"

namespace Vesk {

template <class Ops>
bool VeskReader<Ops>::initialize(const std::string& event) {
    if (!Mem::Atomics::checkCpuSupport()) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "Hardware does not support Atomics");
    }
    if (this->initialized())
        return true;
    if (!hashMap_.buckets().attach()) {
        PIMBO_TRACE(0, "failed to attach to buckets");
        return false;
    }
    if (!table_.attach()) {
        PIMBO_TRACE(0, "failed to attach to slots");
        return false;
    }
    const Plinth::CinderFile cinder(debugHandler(), rootPath_, false);
    cinderId_ = cinder.read();
    const double mtime = cinder.mtime();
    if (cinderId_.isNone()) {
        PIMBO_TRACE(0, "failed to read cinder file");
        if (debugHandler().enabled(0))
            PIMBO_TRACE(0, "{}", dumpHeaders());
        return false;
    }
    std::string reason;
    if (!hashMap_.buckets().validate(cinderId_, reason)) {
        PIMBO_TRACE(0, "failed to validate buckets");
        if (debugHandler().enabled(0))
            PIMBO_TRACE(0, "{}", dumpHeaders());
        Util::writeCorruptionFile(debugHandler(), rootPath_, reason);
        return false;
    }
    // The header copy that is validated is also the one whose generation (cinder id and hash
    // seed) the reader keeps: a re-format between attach and here cannot slip through.
    typename Table::HeaderCopy copy;
    const uint64_t fileSize = table_.headerCopy(copy);
    if (!copy.header().validate(debugHandler(), fileSize, cinderId_, reason, Ops::typeName(),
                                Ops::valueSize)) {
        PIMBO_TRACE(0, "failed to validate slots");
        if (debugHandler().enabled(0))
            PIMBO_TRACE(0, "{}", dumpHeaders());
        Util::writeCorruptionFile(debugHandler(), rootPath_, reason);
        return false;
    }
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

template class VeskReader<DravoCounters::FlexCounters2::CounterEntrySimpleOps>;
template class VeskReader<DravoCounters::FlexCounters2::CounterEntryNormalOps>;
template class VeskReader<DravoCounters::FlexCounters2::CounterEntryWideOps>;
template class VeskReader<DravoCounters::FlexCounters2::CounterEntryBitmap64Ops>;

}  // namespace Vesk
