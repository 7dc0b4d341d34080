// VeskMapBase: the record-independent part of a table map front - its descriptor, name, trace
// handler, event names, running counter totals and corruption reporting. The sentry that
// watches the table's files belongs to its mount state machine (Mounting.h).
//
// One owning thread: the front is used from the thread that owns the entity tree, and sentries
// call back on that thread from the process's event loop.
#pragma once

#include "Pimbo/Debug.h"
#include "VeskBase/ControlBase.h"
#include "VeskBase/Counters.h"
#include "VeskBase/MapDescriptor.h"
#include "VeskBase/Types.h"
#include "VeskMap/Sentry.h"

#include <memory>
#include <string>

namespace Vesk {

class VeskMapBase : public ControlBase, public Mem::ReaderSentry::Notifiee {
  public:
    // Event names handed to a sentry's event operation.
    static const std::string eventInit_;
    static const std::string eventTryAttach_;
    static const std::string eventNotifEnabled_;
    // A shadow's flush is over (the sentry may attach again at once), and a shadow's writer
    // closed its wake-up connection.
    static const std::string eventFlushComplete_;
    static const std::string eventDisconnect_;

    explicit VeskMapBase(std::string name);
    ~VeskMapBase() override;

    bool initialized() const override { return initialized_; }
    VeskType mode() const { return descriptor_.type; }
    bool localMem() override { return descriptor_.localMem != 0; }
    const MapDescriptor& descriptor() const { return descriptor_; }
    // Mounts with a descriptor built from the three essentials.
    virtual void init(VeskType type, bool localMem, unsigned initialSize);
    using ControlBase::init;

    // Whether an implementation other than a placeholder is in place.
    virtual bool exists() { return initialized_; }
    std::string modeStr() override { return veskTypeName(descriptor_.type); }
    bool disconnectedActiveReader() override { return false; }

    // The front's running totals: the last counts seen from each earlier implementation plus
    // `c`, the counts the current implementation `source` has gathered since it was made.
    // Asking twice counts nothing twice.
    Reader::Counters veskMapUpdateReaderCounters(const void* source, const Reader::Counters& c);
    Writer::Counters veskMapUpdateWriterCounters(const void* source, const Writer::Counters& c);

    // A corruption met by a guarded operation: traced at level 0, recorded in the table's
    // "corruption-detected" marker where this process may write, counted. A front in writer
    // mode (type writer or local memory) then throws Pimbo::CorruptionDetectedException with the
    // message; a reader-mode front returns, so lookups answer with the default record.
    void doCorruptionDetected(const std::string& message);
    uint64_t corruptionsDetected() const { return corruptionsDetected_; }

    const std::string& mapName() const { return name_; }
    Pimbo::Platform::DebugHandler& debugHandler() const { return *handler_; }

  protected:
    std::shared_ptr<Pimbo::Platform::DebugHandler> handler_;
    MapDescriptor descriptor_;
    bool initialized_ = false;
    std::string name_;
    std::string qualifier_;
    bool notifying_ = false;

  private:
    // The totals of one kind of counts: those of the implementations before the current one,
    // and the current one's last counts.
    template <class Counters>
    struct Totals {
        Counters earlier;
        Counters last;
        const void* source = nullptr;
        Counters update(const void* from, const Counters& c) {
            if (from != source) {
                earlier.merge(last);
                source = from;
            }
            last = c;
            Counters out = earlier;
            out.merge(c);
            return out;
        }
    };
    Totals<Reader::Counters> readerTotals_;
    Totals<Writer::Counters> writerTotals_;
    uint64_t corruptionsDetected_ = 0;
};

}  // namespace Vesk
