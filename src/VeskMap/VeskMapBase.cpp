#include "VeskMap/VeskMapBase.h"

#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "VeskBase/Util.h"

namespace Vesk {

const std::string VeskMapBase::eventInit_ = "init";
const std::string VeskMapBase::eventTryAttach_ = "tryAttach";
const std::string VeskMapBase::eventNotifEnabled_ = "notifEnabled";
const std::string VeskMapBase::eventFlushComplete_ = "flushComplete";
const std::string VeskMapBase::eventDisconnect_ = "disconnect";

VeskMapBase::VeskMapBase(std::string name)
    : handler_(Pimbo::Platform::getDebugHandler("VeskTemp")), name_(std::move(name)) {}

VeskMapBase::~VeskMapBase() = default;

void VeskMapBase::init(VeskType type, bool localMem, unsigned initialSize) {
    MapDescriptor d(initialSize, type);
    d.localMem = localMem ? 1 : 0;
    init(d);
}

Reader::Counters VeskMapBase::veskMapUpdateReaderCounters(const void* source,
                                                          const Reader::Counters& c) {
    return readerTotals_.update(source, c);
}

Writer::Counters VeskMapBase::veskMapUpdateWriterCounters(const void* source,
                                                          const Writer::Counters& c) {
    return writerTotals_.update(source, c);
}

void VeskMapBase::doCorruptionDetected(const std::string& message) {
    PIMBO_TRACE_TO(*handler_, "VeskMapBase", 0, "corruption detected: {} in {}", message, name_);
    ++corruptionsDetected_;
    try {
        const RootPath root(*handler_, name_, false);
        Util::writeCorruptionFile(*handler_, root, message);
    } catch (const Pimbo::Exception& e) {
        PIMBO_TRACE_TO(*handler_, "VeskMapBase", 0, "cannot record corruption of {}: {}", name_,
                       e.msg());
    }
    if (descriptor_.type == writer || descriptor_.localMem != 0) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException, "{}", message);
    }
}

}  // namespace Vesk
