// VeskMap: the front of one table attribute. It never stores records itself: it owns exactly one
// current implementation (a shared-memory writer, a reader, a local writer or a placeholder) and
// forwards every operation to it. Which one that is, the sentry that watches the table's files,
// and the callbacks fired when the mount status moves are its mount state machine's (Mounting.h,
// where the states and transitions are described); the front's mount operations (init, attach,
// detach, filesLost, controlDetach, tryAttach, the shadow's reports) hand over to it. It carries
// the table's notification callbacks.
//
// Threads: a front is used from its owner's thread only; sentries call attach, detach and
// filesLost on that thread from the process's event loop. The front takes no locks and adds
// nothing to the lock-free read path of an attached reader.
#pragma once

#include "Pimbo/Assert.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/WriterLock.h"
#include "Vesk/Tmp.h"
#include "Vesk/VeskInterface.h"
#include "VeskMap/Mounting.h"
#include "VeskMap/VeskMapBase.h"
#include "VeskShadow/VeskShadow.h"

#include <memory>
#include <string>

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
        mount_.deleteSentry();
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
    void init(const Mem::CollectionDescriptor& d) override { mount_.init(d); }

    virtual bool cleanup() {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{}", interface_->rootPath());
        const bool ok = interface_->cleanup();
        // The writer removed its own files: not a removal under it.
        mount_.purgeWriterRecords();
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
    void controlDetach() override { mount_.controlDetach(); }

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
            mount_.sentryEvent(eventNotifEnabled_);
    }
    bool notifying() override { return notifying_; }

    virtual void yieldTimeIs(const double& seconds) {
        PIMBO_TRACE_TO(*handler_, "VeskMap", 5, "{} yieldTime:{}", interface_->rootPath(), seconds);
        yieldTime_ = seconds;
        interface_->yieldTimeIs(seconds);
    }

    // Asks for an attach attempt now instead of waiting for the sentry.
    virtual void tryAttach() { mount_.tryAttach(); }

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

    // ----- the mount: handed to the state machine (Mounting.h) -----
    // Turns a waiting reader into a live one: called by the reader sentry once the writer's
    // files exist, or from tryAttach.
    void attach(const std::string& event) override { mount_.attach(event); }
    // The writer's files went away (sentry), or the owner unmounts (controlDetach).
    void detach(bool deleted) override { mount_.detach(deleted); }
    // The writer sentry found the table's directory (or one of the writer's files) removed
    // under the writer: a second writer may own a re-created table at the same path by now, so
    // this writer must never write to its deleted files or answer for the path again.
    void filesLost(const std::string& what) override { mount_.filesLost(what); }
    // The front has a live reader or shadow (not a placeholder, nor a shadow still flushing).
    bool readerFullyAttached() override { return mount_.readerFullyAttached(); }

    // ----- ShadowOwner: what a shadow reports to its front -----
    Callbacks& notify() override { return callbacks_; }
    void shadowSynced(bool first) override { mount_.shadowSynced(first); }
    void shadowFlushed() override { mount_.shadowFlushed(); }
    void shadowDisconnected() override { mount_.shadowDisconnected(); }
    void shadowCorrupted(const std::string& message) override { doCorruptionDetected(message); }

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
    void installDummy() { mount_.installDummy(); }

    Interface& interface() { return *interface_; }
    const Ops& ops() const { return ops_; }
    Callbacks& callbacks() { return callbacks_; }
    bool keyNotifications() const { return keyNotifications_; }
    bool orphanAssert() const { return orphanAssert_; }
    bool hasMounter() const { return mount_.hasSentry(); }

  protected:
    Callbacks callbacks_{[](const Value&) {}, [](const Key&) {}, [](const Key&) {}, [] {},
                         [](bool) {}};
    Callbacks held_;
    bool keyNotifications_ = false;
    Ops ops_;
    std::unique_ptr<Interface> interface_;
    double yieldTime_ = 0;
    bool orphanAssert_ = false;

  private:
    friend class Mounting<Ops>;
    Mounting<Ops> mount_{*this};
};

}  // namespace Vesk
