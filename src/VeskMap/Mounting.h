// Mounting: the mount state machine of a VeskMap. The front (VeskMap) answers its callers by
// forwarding to its one current implementation; Mounting decides which implementation that is,
// moves the front from state to state, owns the sentry that watches the table's files, and
// fires the client's callbacks for every move, in order. The front keeps what it is (its
// implementation, descriptor, name, callbacks and settings); Mounting is the only code that
// changes them to mount or unmount (the binding only swaps one local writer for another), and
// it is reached only through the front's own operations.
//
// Mount status, as the current implementation's mountStatus() tells it:
//   0  not mounted: a local writer (Tmp), a placeholder (a reader waiting for its writer, or the
//      orphan a detach leaves), a reader or writer that did not initialise, a shadow detached
//      whose flush is over.
//   1  mounted: an initialised writer (shared or in local memory) or reader; a shadow attached
//      and not yet synchronised.
//   2  a shadow synchronised at least once since it was attached.
//   3  a shadow detached whose flush is still running: it stays installed (the sentry's status
//      flag cleared) until the flush is over, then a placeholder takes its place.
//
// Transitions (caller; status move; what the client hears, in this order):
//   init        the collection control mounts the front (owner's thread). Refusals (orphan:
//               fatal; other descriptor, heap without local memory, size 0, a shadow type without
//               the notify flag) change nothing, cleanupFirst included (an asynchronous shadow
//               type's key callbacks are set aside all the same). Type writer: a VeskWriter
//               and a writer sentry, 0 -> 1, quiesced(true) then mount status. localMem: a
//               VeskWriter without a sentry, told nothing unless the type is writer. Reader or
//               shadow types: a placeholder and a reader sentry (0), which may attach from
//               inside init. A failing init leaves the front not initialized and without a
//               sentry, holding a placeholder, the writer that failed to initialise, or the
//               reader that an attach from inside it installed before the failure.
//   attach      the reader sentry, from the event loop or from inside init / tryAttach / a
//               notifyingIs(true) (owner's thread): the files can be mapped. A reader: 0 -> 1,
//               quiesced(true) then mount status. A shadow: 0 -> 1 (or 3 -> 1 for a flushing
//               shadow initialised again in place), mount status only; it reports quiescence
//               itself once synchronised. A failed attach keeps the placeholder and tells
//               nothing (a shadow still flushing stays, 3).
//   shadowSynced    the shadow's first synchronisation since it was attached (event loop):
//               1 -> 2, mount status; the first time ever the held key callbacks become active.
//   detach      the reader sentry (files gone or replaced), controlDetach, or filesLost: the
//               implementation is detached and wrapped by a placeholder, x -> 0; a shadow
//               starting its flush stays while a sentry watches, x -> 3. Always (a repeated
//               detach too) quiesced(false) then mount status; the sentry's pending records are
//               dropped.
//   shadowFlushed   the flush a detach started is over (event loop): 3 -> 0 under a placeholder,
//               mount status; the sentry hears "flushComplete". A detach that ends a pending
//               flush at once (an unmount of a flushing shadow) tells that move itself, once.
//   filesLost   the writer sentry: the writer's files were removed under it: a detach.
//   controlDetach   the collection control unmounts: a detach, then the sentry goes and the
//               front is no longer initialized (a new init is accepted).
//
// Who calls: everything runs on the thread that owns the front; the sentries and the shadow call
// in from the process's event loop on that thread. Nothing here locks.
//
// What a caller may rely on:
//   - the front always holds an implementation, after a failure too;
//   - every move of the mount status made by init (type writer), attach, detach and the
//     shadow's reports is told through statusMoved(), the one place that fires the quiesced and
//     mount-status callbacks (the table forwards them to its collection control); a quiesced
//     callback that throws does not keep the mount-status callback from being called, and its
//     exception then goes on to the caller (out of init, attach or detach). The one silent move: a
//     front in local memory whose type is not writer becomes a writer (1) untold, as init has
//     always done;
//   - the callbacks run after the move: inside them mountStatus() already answers the new state;
//   - a front has at most one sentry; none after controlDetach, nor after an init that failed
//     while building the new mode (a refused init changes nothing, its sentry included).
#pragma once

#include "Pimbo/Assert.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/TraceUtil.h"
#include "Plinth/RootPath.h"
#include "Vesk/VeskInterface.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"
#include "VeskMap/Sentry.h"
#include "VeskMap/VeskMapBase.h"
#include "VeskShadow/VeskShadow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace Vesk {

// The record-independent part: the sentry and the events handed to it.
class MountingBase {
  public:
    explicit MountingBase(VeskMapBase& front) : front_(front) {}
    MountingBase(const MountingBase&) = delete;
    MountingBase& operator=(const MountingBase&) = delete;

    bool hasSentry() const { return writerSentry_ || readerSentry_; }
    void deleteSentry();
    // Hands `event` to the sentry, if any; a sentry that cannot take it throws.
    void sentryEvent(const std::string& event);
    // The writer removed its own files: its sentry forgets what it read of that.
    void purgeWriterRecords();

  protected:
    enum class Quiesced { untold, yes, no };
    // Fires the client's quiesced callback (unless `quiesced` is untold), then its mount-status
    // callback; both are called even when the first throws, whose exception then goes on.
    static void report(Quiesced quiesced, const std::function<void(bool)>& onQuiesced,
                       const std::function<void()>& onMountStatus);

    // A writer sentry over `notifiee` watching `root`, told eventInit_; none is left on failure.
    void startWriterSentry(Mem::WriterSentry::Notifiee* notifiee, const RootPath& root);
    // A reader sentry over the front watching `root`, told eventInit_ (it may attach from
    // inside). One that refuses to start is dropped and its failure goes on, unless the process
    // runs under "KORA_CHROOT": then the refusal is traced and init goes on with it.
    void startReaderSentry(const RootPath& root);
    // An event of the shadow's processing (from the event loop): a sentry that fails to take it
    // (no watch left) is traced, and the loop goes on.
    void tellSentry(const std::string& event);
    // A pending flush keeps the implementation: the reader sentry must not count it attached.
    void sentryStatusCleared();
    // Drops the records the sentry read so far (after a detach, stale events are not replayed).
    void purgeRecords();
    Mem::ReaderSentry* readerSentry() const { return readerSentry_.get(); }

  private:
    VeskMapBase& front_;
    std::unique_ptr<Mem::WriterSentry> writerSentry_;
    std::unique_ptr<Mem::ReaderSentry> readerSentry_;
};

template <class Ops>
class VeskMap;

template <class Ops>
class Mounting : public MountingBase {
  public:
    using Front = VeskMap<Ops>;
    using Interface = VeskInterface<Ops>;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    explicit Mounting(Front& front) : MountingBase(front), front_(front) {}

    void init(const Mem::CollectionDescriptor& d);
    void attach(const std::string& event);
    void tryAttach();
    void detach(bool deleted);
    void controlDetach();
    void filesLost(const std::string& what);
    void shadowSynced(bool first);
    void shadowFlushed();
    void shadowDisconnected();
    bool readerFullyAttached() const;
    void installDummy();

  private:
    bool shadowType() const {
        return front_.descriptor_.type == shadow || front_.descriptor_.type == keyshadow;
    }
    // The one place a move of the mount status is told to the client.
    void statusMoved(Quiesced quiesced) {
        report(quiesced, front_.callbacks_.onQuiesced, front_.callbacks_.onMountStatus);
    }
    // init's checks, in order: each refusal throws. An asynchronous shadow type has its key
    // callbacks set aside first, refused or not.
    void checkDescriptor(const MapDescriptor& desc);
    // An asynchronous shadow's key callbacks wait until its first synchronisation.
    void holdKeyCallbacks();
    void initWriter();
    void initReader();
    // A new reader or shadow for attach, not yet initialised.
    std::unique_ptr<Interface> candidate(const std::string& event) const;

    Front& front_;
    // Inside a detach: a flush that the detach ends at once is told by the detach alone.
    bool detaching_ = false;
};

template <class Ops>
void Mounting<Ops>::init(const Mem::CollectionDescriptor& d) {
    if (front_.orphanAssert_) {
        PIMBO_ASSERT_FAIL("VeskMap",
                          "Re-initializing a collection that has already become an orphan and "
                          "has assertOnOrphanAccess set");
    }
    const MapDescriptor& desc = dynamic_cast<const MapDescriptor&>(d);
    if (front_.initialized_) {
        if (desc == front_.descriptor_) {
            PIMBO_TRACE_TO(*front_.handler_, "VeskMap", 5, "name:{} already initialized, new {}",
                           front_.name_, desc);
            return;
        }
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "name:{} already initialized, old {}, new {}", front_.name_, front_.descriptor_,
                    desc);
    }
    PIMBO_TRACE_TO(*front_.handler_, "VeskMap", 1, "name:{} {}", front_.name_, desc);
    checkDescriptor(desc);
    // Cleaning up only once every check passed: a refused or repeated init never removes the
    // table's files.
    if (desc.cleanupFirst)
        front_.interface_->cleanup();
    front_.interface_.reset();
    front_.descriptor_ = desc;
    front_.handler_ = Pimbo::Platform::getDebugHandler(
        Pimbo::Util::traceHandleName(front_.name_, front_.qualifier_, false));
    if (hasSentry())
        PIMBO_ASSERT_FAIL("VeskMap", "Vesk mounter should not exist");
    if (desc.localMem || desc.type == writer) {
        initWriter();
    } else if (desc.type == reader || shadowType()) {
        initReader();
    } else {
        PIMBO_ASSERT_FAIL("VeskMap", "not a valid reader type:{}", unsigned(desc.type));
    }
    front_.initialized_ = true;
    if (desc.type == writer)
        statusMoved(Quiesced::yes);
}

template <class Ops>
void Mounting<Ops>::checkDescriptor(const MapDescriptor& desc) {
    const std::string& name = front_.name_;
    if (desc.heap && !desc.localMem) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "cannot initialize collection {} heap allocation in non-local mode not "
                    "allowed",
                    name);
    }
    if (desc.type == writer && desc.initialSize == 0) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "0 is not a valid initialization size for collection {} in writer mode", name);
    }
    const bool shadowTyped = desc.type == shadow || desc.type == keyshadow;
    if (shadowTyped && !desc.localMem && !desc.synchronous)
        holdKeyCallbacks();
    // A shadow needs the writer's notification queue: a reader process opts in with the
    // descriptor's notify flag, and without it the shadow types stay refused.
    if (shadowTyped && !desc.notify) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot initialize collection {} with {}",
                    name,
                    std::string("DummyRuxaWriter not supported in ") +
                        (desc.type == shadow ? "shadow" : "keyshadow") + " mode");
    }
}

template <class Ops>
void Mounting<Ops>::holdKeyCallbacks() {
    auto& callbacks = front_.callbacks_;
    if (front_.keyNotifications_) {
        front_.held_.onValue = std::move(callbacks.onValue);
        front_.held_.onKey = std::move(callbacks.onKey);
        front_.held_.onKey2 = std::move(callbacks.onKey2);
        callbacks.onValue = [](const Value&) {};
        callbacks.onKey = [](const Key&) {};
        callbacks.onKey2 = [](const Key&) {};
        front_.keyNotifications_ = false;
    }
    if (!front_.notifying_) {
        PIMBO_ASSERT_FAIL("VeskMap",
                          "notifications unexpectedly disabled prior to initialization with "
                          "asynchronous mode");
    }
}

template <class Ops>
void Mounting<Ops>::initWriter() {
    auto& handler = *front_.handler_;
    std::unique_ptr<VeskWriter<Ops>> w;
    try {
        w = std::make_unique<VeskWriter<Ops>>(handler, front_.name_, front_.descriptor_,
                                              front_.ops_, front_.classType(),
                                              front_.callbacks_.onQuiesced);
    } catch (...) {
        // Never leave the front without an implementation.
        installDummy();
        throw;
    }
    VeskWriter<Ops>* raw = w.get();
    front_.interface_ = std::move(w);
    bool ok = false;
    try {
        ok = raw->initialize("none");
    } catch (...) {
        // A writer that could not take the table (another live writer owns it, say) is never
        // left in charge: the front answers as a placeholder that holds it.
        installDummy();
        throw;
    }
    if (!ok) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "failed to initialize collection {}",
                    front_.name_);
    }
    if (!front_.descriptor_.localMem)
        startWriterSentry(&front_, raw->rootPath());
}

template <class Ops>
void Mounting<Ops>::initReader() {
    front_.interface_.reset(
        new VeskDummy<Ops>(*front_.handler_, front_.name_, front_.ops_, nullptr, false));
    startReaderSentry(front_.interface_->rootPath());
}

// A shadow type builds a shadow; flags from the descriptor and the event that attaches it.
template <class Ops>
std::unique_ptr<typename Mounting<Ops>::Interface> Mounting<Ops>::candidate(
    const std::string& event) const {
    const MapDescriptor& desc = front_.descriptor_;
    if (!shadowType()) {
        return std::make_unique<VeskReader<Ops>>(*front_.handler_, front_.name_.c_str(),
                                                 front_.ops_, nullptr);
    }
    uint32_t flags = desc.type == keyshadow ? VeskShadowBase::kKeyOnly : 0;
    if (desc.shadowFlagBit1 != 0 || event != VeskMapBase::eventInit_)
        flags |= VeskShadowBase::kNotInitial;
    if (desc.shadowFlagBit2 != 0)
        flags |= VeskShadowBase::kFlushNotify;
    return std::make_unique<VeskShadow<Ops>>(*front_.handler_, front_.name_, front_.ops_, flags,
                                             front_, Front::kShadowNotifierName);
}

// The new reader (or shadow) is built and initialised aside and installed only when it
// succeeds; otherwise it is deleted and the placeholder stays. A shadow still flushing is
// initialised again in place (it stays the implementation meanwhile, so that the clients its
// flush reports to find it), with a new placeholder as the fallback.
template <class Ops>
void Mounting<Ops>::attach(const std::string& event) {
    auto& handler = *front_.handler_;
    if (front_.descriptor_.type == writer)
        PIMBO_ASSERT_FAIL("VeskMap", "invoked for a writer");
    const bool again =
        shadowType() && dynamic_cast<VeskShadow<Ops>*>(front_.interface_.get()) != nullptr;
    std::unique_ptr<Interface> fresh = again ? nullptr : candidate(event);
    Interface& c = again ? *front_.interface_ : *fresh;
    PIMBO_TRACE_TO(handler, "VeskMap", 2, "attempting to attach {} as {}", c.rootPath(),
                   veskTypeName(front_.descriptor_.type));
    c.yieldTimeIs(front_.yieldTime_);
    c.notifyingIs(front_.notifying_);
    if (!c.initialize(event)) {
        PIMBO_TRACE_TO(handler, "VeskMap", 1, "initialize failed for {}", c.rootPath());
        if (c.mountStatus() == 3) {
            PIMBO_TRACE_TO(handler, "VeskMap", 0,
                           "not deleting Vesk, waiting for flush to complete");
            if (!again)
                front_.interface_ = std::move(fresh);
        } else if (again) {
            front_.interface_.reset(
                new VeskDummy<Ops>(handler, front_.name_, front_.ops_, nullptr, false));
        }
        return;  // otherwise the candidate is deleted and the placeholder stays
    }
    PIMBO_TRACE_TO(handler, "VeskMap", 2, "successful");
    if (!again)
        front_.interface_ = std::move(fresh);
    // A shadow reports quiescence itself once it has synchronised.
    statusMoved(shadowType() ? Quiesced::untold : Quiesced::yes);
}

template <class Ops>
void Mounting<Ops>::tryAttach() {
    Interface& now = *front_.interface_;
    PIMBO_TRACE_TO(*front_.handler_, "VeskMap", 5, "{}", now.rootPath());
    if (readerSentry() == nullptr || front_.mode() == writer)
        return;
    const MountStatus before = now.mountStatus();
    if (before != 0) {
        PIMBO_TRACE_TO(*front_.handler_, "VeskMap", 5, "{} is already mounted, mountStatus:{}",
                       now.rootPath(), before);
        return;
    }
    readerSentry()->event(VeskMapBase::eventTryAttach_, false);
    const MountStatus after = front_.interface_->mountStatus();
    if (after != before) {
        Pimbo::Util::emitCanaryLog(
            fmt::format("mounted {} mountStatus:{}", front_.interface_->rootPath(), after));
    }
}

template <class Ops>
void Mounting<Ops>::detach(bool deleted) {
    const RootPath root(*front_.handler_, front_.name_, false);
    PIMBO_TRACE_TO(*front_.handler_, "VeskMap", 1, "{}", root);
    // A pending flush that this detach completes reports to the front from inside.
    detaching_ = true;
    try {
        front_.interface_->detach(deleted);
    } catch (...) {
        detaching_ = false;
        throw;
    }
    detaching_ = false;
    if (front_.interface_->mountStatus() == 3 && hasSentry()) {
        sentryStatusCleared();
    } else {
        installDummy();
    }
    statusMoved(Quiesced::no);
    purgeRecords();
}

template <class Ops>
void Mounting<Ops>::controlDetach() {
    front_.detach(true);
    deleteSentry();
    front_.initialized_ = false;
}

template <class Ops>
void Mounting<Ops>::filesLost(const std::string& what) {
    PIMBO_TRACE_TO(*front_.handler_, "VeskMap", 0, "{} was removed under its writer; detached",
                   what);
    front_.detach(true);
}

template <class Ops>
void Mounting<Ops>::shadowSynced(bool first) {
    auto& callbacks = front_.callbacks_;
    if (first && !front_.keyNotifications_) {
        if (front_.held_.onValue) {  // set aside by init
            callbacks.onValue = std::exchange(front_.held_.onValue, [](const Value&) {});
            callbacks.onKey = front_.held_.onKey;
            callbacks.onKey2 = front_.held_.onKey2;
        }
        front_.keyNotifications_ = true;
    }
    statusMoved(Quiesced::untold);
}

// The sentry hears of it, and attaches again at once when the writer's files are there. A
// flush that a detach ends at once (from inside it) is told by that detach, once, quiescence
// first.
template <class Ops>
void Mounting<Ops>::shadowFlushed() {
    installDummy();
    if (detaching_)
        return;
    tellSentry(VeskMapBase::eventFlushComplete_);
    statusMoved(Quiesced::untold);
}

template <class Ops>
void Mounting<Ops>::shadowDisconnected() {
    PIMBO_TRACE_TO(*front_.handler_, "VeskMap", 1, "{}: the writer disconnected",
                   front_.interface_->rootPath());
    const VeskType mode = front_.mode();
    if (mode != reader && mode != shadow && mode != keyshadow)
        PIMBO_ASSERT_FAIL("VeskMap", "wrong type:{}", veskTypeName(mode));
    tellSentry(VeskMapBase::eventDisconnect_);
}

// A live reader or shadow (not a placeholder, nor a shadow still flushing).
template <class Ops>
bool Mounting<Ops>::readerFullyAttached() const {
    Interface& now = *front_.interface_;
    const MountStatus status = now.mountStatus();
    return (now.type() == reader || now.type() == shadow) && status != 0 && status != 3;
}

template <class Ops>
void Mounting<Ops>::installDummy() {
    std::unique_ptr<Interface>& slot = front_.interface_;
    // A placeholder of the right kind is already in place (a second detach): keep it rather
    // than wrapping it again.
    const bool strict = front_.orphanAssert_;
    if (strict ? dynamic_cast<VeskStrictDummy<Ops>*>(slot.get()) != nullptr
               : dynamic_cast<VeskDummy<Ops>*>(slot.get()) != nullptr) {
        return;
    }
    Interface* wrapped = slot.release();
    auto& handler = *front_.handler_;
    if (strict) {
        slot.reset(new VeskStrictDummy<Ops>(handler, front_.name_, front_.ops_, wrapped, false,
                                            Front::kOrphanSuffix));
    } else {
        slot.reset(new VeskDummy<Ops>(handler, front_.name_, front_.ops_, wrapped, false));
    }
}

}  // namespace Vesk
