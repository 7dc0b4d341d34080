// VeskMap: the front of one table attribute. It never stores records itself: it owns exactly one
// current implementation (a shared-memory writer, a reader, a local writer or a placeholder) and
// decides from the descriptor it is initialised with which one that is. It owns the sentry that
// watches the table's files and carries the table's notification callbacks.
//
// Threads: a front is used from its owner's thread only; sentries call attach, detach and
// filesLost on that thread from the process's event loop. The front takes no locks and adds
// nothing to the lock-free read path of an attached reader.
#pragma once

#include "Pimbo/Assert.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/TraceUtil.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/WriterLock.h"
#include "Vesk/Tmp.h"
#include "Vesk/VeskInterface.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"
#include "VeskMap/VeskMapBase.h"
#include "VeskShadow/VeskShadow.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

namespace Vesk {

template <class Ops>
class VeskMap : public VeskMapBase,
                public Mem::WriterSentry::Notifiee,
                public ShadowOwner<typename Ops::Value, typename Ops::Key> {
  public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Interface = VeskInterface<Ops>;
    using Callbacks = Notify<Value, Key>;

    static constexpr const char* kOrphanSuffix =
        ". If you're seeing this, you're trying to operate on an orphan vesk entity";
    // The name a shadow's reports to this front's callbacks go by in traces.
    static constexpr const char* kShadowNotifierName = "Vesk-DummyShadowNotifier";

    explicit VeskMap(const Ops& ops = Ops{}, std::string name = "")
        : VeskMapBase(std::move(name)), ops_(ops) {
        interface_.reset(createDefaultLocalWriter(*handler_));
    }

    ~VeskMap() override {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 2, "deleting state");
        interface_.reset();
        deleteSentry();
    }

    VeskMap(const VeskMap&) = delete;
    VeskMap& operator=(const VeskMap&) = delete;

    // ----- forwarders -----
    virtual bool validateVersionAnchor() { return interface_->validateVersionAnchor(); }
    virtual Mem::CacheVersionAnchor getCacheVersionAnchor() {
        return interface_->getCacheVersionAnchor();
    }
    // Whether a anchor a caller kept is the one of the record returned last.
    virtual bool compareVersionAnchor(const Mem::CacheVersionAnchor& a) {
        const Mem::CacheVersionAnchor now = getCacheVersionAnchor();
        return a.flags == now.flags && a.offset == now.offset;
    }
    virtual void validateVersionAnchorHookIs(VersionAnchorHook hook) {
        interface_->validateVersionAnchorHookIs(hook);
    }

    using VeskMapBase::init;
    // The only way to give a front its mode.
    void init(const Mem::CollectionDescriptor& d) override {
        if (orphanAssert_) {
            PIMBO_ASSERT_FAIL("VeskMap",
                              "Re-initializing a collection that has already become an orphan and "
                              "has assertOnOrphanAccess set");
        }
        const MapDescriptor& desc = dynamic_cast<const MapDescriptor&>(d);
        if (initialized_) {
            if (desc == descriptor_) {
                PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "name:{} already initialized, new {}",
                               name_, desc);
                return;
            }
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "name:{} already initialized, old {}, new {}", name_, descriptor_, desc);
        }
        PIMBO_TRACE_TO(*handler_, "VeskMap", 1, "name:{} {}", name_, desc);
        if (desc.heap && !desc.localMem) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot initialize collection {} heap allocation in non-local mode not "
                        "allowed",
                        name_);
        }
        if (desc.type == writer && desc.initialSize == 0) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "0 is not a valid initialization size for collection {} in writer mode",
                        name_);
        }
        const bool shadowType = desc.type == shadow || desc.type == keyshadow;
        if (shadowType && !desc.localMem && !desc.synchronous) {
            if (keyNotifications_) {
                held_.onValue = std::move(callbacks_.onValue);
                held_.onKey = std::move(callbacks_.onKey);
                held_.onKey2 = std::move(callbacks_.onKey2);
                callbacks_.onValue = [](const Value&) {};
                callbacks_.onKey = [](const Key&) {};
                callbacks_.onKey2 = [](const Key&) {};
                keyNotifications_ = false;
            }
            if (!notifying_) {
                PIMBO_ASSERT_FAIL(
                    "VeskMap",
                    "notifications unexpectedly disabled prior to initialization with "
                    "asynchronous mode");
            }
        }
        // A shadow needs the writer's notification queue: a reader process opts in with the
        // descriptor's notify flag, and without it the shadow types stay refused.
        if (shadowType && !desc.notify) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot initialize collection {} with {}", name_,
                        std::string("DummyRuxaWriter not supported in ") +
                            (desc.type == shadow ? "shadow" : "keyshadow") + " mode");
        }
        // Cleaning up only once every check passed: a refused or repeated init never removes
        // the table's files.
        if (desc.cleanupFirst)
            interface_->cleanup();
        interface_.reset();
        descriptor_ = desc;
        handler_ = Pimbo::Platform::getDebugHandler(
            Pimbo::Util::traceHandleName(name_, qualifier_, false));
        if (hasSentry())
            PIMBO_ASSERT_FAIL("VeskMap", "Vesk mounter should not exist");
        if (desc.localMem || desc.type == writer) {
            initWriter();
        } else if (desc.type == reader || shadowType) {
            initReader();
        } else {
            PIMBO_ASSERT_FAIL("VeskMap", "not a valid reader type:{}", unsigned(desc.type));
        }
        initialized_ = true;
        if (desc.type == writer) {
            callbacks_.onQuiesced(true);
            callbacks_.onMountStatus();
        }
    }

    virtual bool cleanup() {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        const bool ok = interface_->cleanup();
        // The writer removed its own files: not a removal under it.
        if (writerSentry_)
            writerSentry_->purgeInotifyRecord();
        return ok;
    }
    std::string name() override { return interface_->veskName(); }
    virtual Reader::Counters readerCounters() {
        return veskMapUpdateReaderCounters(interface_.get(), interface_->readerCounters());
    }
    virtual Writer::Counters writerCounters() {
        return veskMapUpdateWriterCounters(interface_.get(), interface_->writerCounters());
    }

    virtual void cleanupAndDetach() {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        if (!initialized_) {
            PIMBO_ASSERT_FAIL("VeskMap", "{} trying to cleanup uninitialized vesk.",
                              interface_->rootPath());
        }
        cleanup();
        controlDetach();
    }

    virtual RootPath rootPath() { return interface_->rootPath(); }
    bool validate() override {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        return interface_->validate();
    }
    bool validateFiles(const std::string&, unsigned) override {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        return interface_->validateFiles();
    }
    MountStatus mountStatus() override {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        return interface_->mountStatus();
    }
    virtual SequenceRecord sequence() {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        return interface_->sequence();
    }
    Plinth::CinderId cinderId() override { return interface_->cinderId(); }

    // "{owner name}:{pid}" of the writer that owns the table's files; the pid is 0 when that
    // process is gone.
    virtual std::string owner() {
        std::string ownerName;
        uint64_t pid = 0;
        try {
            Plinth::OwnerFile file(*handler_, interface_->rootPath(), false);
            const std::string socket = file.conduitInfo().socketName;
            if (Mem::WriterLock::ownerIsAlive(*handler_, socket, ownerName)) {
                pid = Plinth::ConduitName::ConduitNameIs(socket).first();
            }
        } catch (const Pimbo::CorruptionDetectedException& e) {
            PIMBO_TRACE_TO(*handler_, "VeskMap", 1, "corruption detected: {}", e.msg());
        }
        return fmt::format("{}:{}", ownerName, pid);
    }

    // Unmounts: the implementation is told and replaced by a placeholder; the sentry goes.
    void controlDetach() override {
        detach(true);
        deleteSentry();
        initialized_ = false;
    }

    virtual uint32_t maxSize() { return interface_->maxSize(); }
    virtual uint32_t capacity() { return interface_->capacity(); }

    virtual void notifyingIs(bool on) {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{} notifying:{}", interface_->rootPath(), on);
        if (initialized_ && !keyNotifications_) {
            PIMBO_ASSERT_FAIL("VeskMap",
                              "not allowed at this time, initialized:{} keyNotifications:{}",
                              initialized_, keyNotifications_);
        }
        notifying_ = on;
        interface_->notifyingIs(on);
        if (on)
            sentryEvent(eventNotifEnabled_);
    }
    bool notifying() override { return notifying_; }

    virtual void yieldTimeIs(const double& seconds) {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{} yieldTime:{}", interface_->rootPath(), seconds);
        yieldTime_ = seconds;
        interface_->yieldTimeIs(seconds);
    }

    // Asks for an attach attempt now instead of waiting for the sentry.
    virtual void tryAttach() {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        if (!readerSentry_ || mode() == writer)
            return;
        const MountStatus before = interface_->mountStatus();
        if (before != 0) {
            PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{} is already mounted, mountStatus:{}",
                           interface_->rootPath(), before);
            return;
        }
        readerSentry_->event(eventTryAttach_, false);
        const MountStatus after = interface_->mountStatus();
        if (after != before) {
            Pimbo::Util::emitCanaryLog(
                fmt::format("mounted {} mountStatus:{}", interface_->rootPath(), after));
        }
    }

    virtual bool clientQuiesced(const std::string& readerName) {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{} readerName:{}", interface_->rootPath(),
                       readerName);
        return interface_->clientQuiesced(readerName);
    }
    virtual bool quiesced() {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{} type:{}", interface_->rootPath(),
                       veskTypeName(interface_->type()));
        return interface_->quiesced();
    }
    virtual bool connected() { return interface_->connected(); }
    virtual void criticalTaskCheckIs(bool on) { interface_->criticalTaskCheckIs(on); }
    virtual bool criticalTaskCheck() { return interface_->criticalTaskCheck(); }

    // Turns a waiting reader into a live one: called by the reader sentry once the writer's
    // files exist, or from tryAttach. The new reader is built and initialised aside and installed
    // only when it succeeds; otherwise it is deleted and the placeholder stays.
    //
    // A shadow type builds a shadow instead, unless the implementation already is one: that one
    // is initialized again in place (it stays the implementation meanwhile, so that the clients
    // its flush reports to find it), with a placeholder as the fallback.
    void attach(const std::string& event) override {
        if (descriptor_.type == writer)
            PIMBO_ASSERT_FAIL("VeskMap", "invoked for a writer");
        const bool shadowType = descriptor_.type == shadow || descriptor_.type == keyshadow;
        const bool again =
            shadowType && dynamic_cast<VeskShadow<Ops>*>(interface_.get()) != nullptr;
        std::unique_ptr<Interface> candidate;
        if (again) {
            // initialized in place below
        } else if (shadowType) {
            uint32_t flags = descriptor_.type == keyshadow ? VeskShadowBase::kKeyOnly : 0;
            if (descriptor_.shadowFlagBit1 != 0 || event != eventInit_)
                flags |= VeskShadowBase::kNotInitial;
            if (descriptor_.shadowFlagBit2 != 0)
                flags |= VeskShadowBase::kFlushNotify;
            candidate.reset(
                new VeskShadow<Ops>(*handler_, name_, ops_, flags, *this, kShadowNotifierName));
        } else {
            candidate.reset(new VeskReader<Ops>(*handler_, name_.c_str(), ops_, nullptr));
        }
        Interface& c = again ? *interface_ : *candidate;
        PIMBO_TRACE_TO(*handler_, "VeskMap", 2, "attempting to attach {} as {}", c.rootPath(),
                       veskTypeName(descriptor_.type));
        c.yieldTimeIs(yieldTime_);
        c.notifyingIs(notifying_);
        if (!c.initialize(event)) {
            PIMBO_TRACE_TO(*handler_, "VeskMap", 1, "initialize failed for {}", c.rootPath());
            if (c.mountStatus() == 3) {
                PIMBO_TRACE_TO(*handler_, "VeskMap", 0,
                               "not deleting Vesk, waiting for flush to complete");
                if (!again)
                    interface_ = std::move(candidate);
            } else if (again) {
                interface_.reset(new VeskDummy<Ops>(*handler_, name_, ops_, nullptr, false));
            }
            return;  // otherwise the candidate is deleted and the placeholder stays
        }
        PIMBO_TRACE_TO(*handler_, "VeskMap", 2, "successful");
        if (!again)
            interface_ = std::move(candidate);
        if (!shadowType)
            callbacks_.onQuiesced(true);  // a shadow reports quiescence once it has synced
        callbacks_.onMountStatus();
    }

    // ----- ShadowOwner: what a shadow reports to its front -----
    Callbacks& notify() override { return callbacks_; }
    void shadowSynced(bool first) override {
        if (first && !keyNotifications_) {
            if (held_.onValue) {  // set aside by init
                callbacks_.onValue = std::exchange(held_.onValue, [](const Value&) {});
                callbacks_.onKey = held_.onKey;
                callbacks_.onKey2 = held_.onKey2;
            }
            keyNotifications_ = true;
        }
        callbacks_.onMountStatus();
    }
    // The sentry hears of it, and attaches again at once when the writer's files are there
    // (not from inside a detach, which installs the placeholder itself).
    void shadowFlushed() override {
        installDummy();
        if (!detaching_)
            tellSentry(eventFlushComplete_);
        callbacks_.onMountStatus();
    }
    void shadowDisconnected() override {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 1, "{}: the writer disconnected",
                       interface_->rootPath());
        if (mode() != reader && mode() != shadow && mode() != keyshadow)
            PIMBO_ASSERT_FAIL("VeskMap", "wrong type:{}", veskTypeName(mode()));
        tellSentry(eventDisconnect_);
    }
    void shadowCorrupted(const std::string& message) override { doCorruptionDetected(message); }

    // The writer's files went away (sentry), or the owner unmounts (controlDetach).
    void detach(bool deleted) override {
        const RootPath root(*handler_, name_, false);
        PIMBO_TRACE_TO(*handler_, "VeskMap", 1, "{}", root);
        // A pending flush that this detach completes reports to the front from inside.
        detaching_ = true;
        try {
            interface_->detach(deleted);
        } catch (...) {
            detaching_ = false;
            throw;
        }
        detaching_ = false;
        if (interface_->mountStatus() == 3 && hasSentry()) {
            sentryStatus() = 0;
        } else {
            installDummy();
        }
        callbacks_.onQuiesced(false);
        callbacks_.onMountStatus();
        if (readerSentry_)
            readerSentry_->purgeInotifyRecord();
        if (writerSentry_)
            writerSentry_->purgeInotifyRecord();
    }

    // The writer sentry found the table's directory (or one of the writer's files) removed
    // under the writer: a second writer may own a re-created table at the same path by now, so
    // this writer must never write to its deleted files or answer for the path again.
    void filesLost(const std::string& what) override {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 0, "{} was removed under its writer; detached", what);
        detach(true);
    }

    // The front has a live reader or shadow (not a placeholder, nor a shadow still flushing).
    bool readerFullyAttached() override {
        const MountStatus status = interface_->mountStatus();
        return (interface_->type() == reader || interface_->type() == shadow) && status != 0 &&
               status != 3;
    }
    bool exists() override { return interface_->mountStatus() != 0; }

    virtual std::string classType() const { return std::string(); }

    // ----- guarded operations used by the tables -----

    // Looks a key up; a corruption is reported and answered with the default record.
    const Value* safeLookup(const Key& key, bool& found, void* buffer) {
        try {
            return interface_->lookup(key, found, buffer);
        } catch (const Pimbo::CorruptionDetectedException& e) {
            doCorruptionDetected(e.msg());
            return &ops_.defaultValue;
        }
    }

    void safeWrite(const Value& value) {
        try {
            interface_->write(value, true);
        } catch (const Pimbo::CorruptionDetectedException& e) {
            doCorruptionDetected(e.msg());
            PIMBO_ASSERT_FAIL("VeskMap", "in no man's land");
        }
    }

    bool safeRemove(const Key& key, Value& removed) {
        try {
            return interface_->remove(key, removed);
        } catch (const Pimbo::CorruptionDetectedException& e) {
            doCorruptionDetected(e.msg());
            PIMBO_ASSERT_FAIL("VeskMap", "in no man's land");
        }
    }

    void directCommit() {
        try {
            interface_->directCommit();
        } catch (const Pimbo::CorruptionDetectedException& e) {
            doCorruptionDetected(e.msg());
            PIMBO_ASSERT_FAIL("VeskMap", "in no man's land");
        }
    }

    // A new local writer (process memory, no files) named after this front.
    Interface* createDefaultLocalWriter(Pimbo::Platform::DebugHandler& handler) {
        auto* tmp = new Tmp<Ops>(handler, name_, ops_);
        try {
            tmp->initialize("none");
        } catch (...) {
            delete tmp;
            throw;
        }
        return tmp;
    }

    // Replaces the implementation by a placeholder that wraps (and owns) it.
    void installDummy() {
        // A placeholder of the right kind is already in place (a second detach): keep it
        // rather than wrapping it again.
        if (orphanAssert_ ? dynamic_cast<VeskStrictDummy<Ops>*>(interface_.get()) != nullptr
                          : dynamic_cast<VeskDummy<Ops>*>(interface_.get()) != nullptr) {
            return;
        }
        Interface* wrapped = interface_.release();
        if (orphanAssert_) {
            interface_.reset(
                new VeskStrictDummy<Ops>(*handler_, name_, ops_, wrapped, false, kOrphanSuffix));
        } else {
            interface_.reset(new VeskDummy<Ops>(*handler_, name_, ops_, wrapped, false));
        }
    }

    Interface& interface() { return *interface_; }
    const Ops& ops() const { return ops_; }
    Callbacks& callbacks() { return callbacks_; }
    bool keyNotifications() const { return keyNotifications_; }
    bool orphanAssert() const { return orphanAssert_; }
    bool hasMounter() const { return hasSentry(); }

  protected:
    uint8_t& sentryStatus() {
        return readerSentry_ ? readerSentry_->status() : writerSentry_->status();
    }
    void sentryEvent(const std::string& event) {
        if (readerSentry_)
            readerSentry_->event(event, false);
        if (writerSentry_)
            writerSentry_->event(event, false);
    }
    // An event of the shadow's processing (from the event loop): a sentry that fails to take it
    // (no watch left) is traced, and the loop goes on.
    void tellSentry(const std::string& event) {
        try {
            sentryEvent(event);
        } catch (const std::exception& e) {
            PIMBO_TRACE_TO(*handler_, "VeskMap", 0, "{}: the sentry could not take event {}: {}",
                           name_, event, e.what());
        }
    }

    Callbacks callbacks_{[](const Value&) {}, [](const Key&) {}, [](const Key&) {}, [] {},
                         [](bool) {}};
    Callbacks held_;
    bool keyNotifications_ = false;
    Ops ops_;
    std::unique_ptr<Interface> interface_;
    double yieldTime_ = 0;
    bool orphanAssert_ = false;
    bool detaching_ = false;

  private:
    void initWriter() {
        std::unique_ptr<VeskWriter<Ops>> w;
        try {
            w = std::make_unique<VeskWriter<Ops>>(*handler_, name_, descriptor_, ops_, classType(),
                                                  callbacks_.onQuiesced);
        } catch (...) {
            // Never leave the front without an implementation.
            installDummy();
            throw;
        }
        VeskWriter<Ops>* raw = w.get();
        interface_ = std::move(w);
        bool ok = false;
        try {
            ok = raw->initialize("none");
        } catch (...) {
            // A writer that could not take the table (another live writer owns it, say) is
            // never left in charge: the front answers as a placeholder that holds it.
            installDummy();
            throw;
        }
        if (!ok) {
            PIMBO_THROW(Pimbo::InvalidInitializeException, "failed to initialize collection {}",
                        name_);
        }
        if (!descriptor_.localMem) {
            try {
                writerSentry_ =
                    std::make_unique<Mem::WriterSentry>(*handler_, this, raw->rootPath());
                writerSentry_->event(eventInit_, false);
            } catch (...) {
                writerSentry_.reset();  // the next init must not find a stale sentry
                throw;
            }
        }
    }

    void initReader() {
        interface_.reset(new VeskDummy<Ops>(*handler_, name_, ops_, nullptr, false));
        readerSentry_ =
            std::make_unique<Mem::ReaderSentry>(*handler_, interface_->rootPath(), this);
        try {
            readerSentry_->event(eventInit_, false);
        } catch (const Pimbo::InvalidInitializeException& e) {
            if (std::getenv("KORA_CHROOT") == nullptr) {
                readerSentry_.reset();
                throw;
            }
            PIMBO_TRACE_TO(*handler_, "VeskMap", 1, "reader sentry of {} refused ({}), going on",
                           name_, e.msg());
        } catch (...) {
            readerSentry_.reset();
            throw;
        }
    }
};

}  // namespace Vesk
