// VeskInterface: the record-typed operations every table implementation offers, and the two
// placeholders VeskDummy and VeskStrictDummy that stand in while no real table is attached.
//
// Who calls what: the front (VeskMap) owns exactly one implementation and calls it on the
// thread that owns the entity tree. The placeholders hold no shared state and take no locks.
//
// Invariants:
//   1. Only a writer changes a table: write, remove and the direct operations of every other
//      implementation throw Pimbo::NoPermissionException and change nothing.
//   2. A lookup that finds nothing returns a pointer to the default record held in the
//      implementation's copy of the operations bundle (every field zero); the pointer stays
//      valid and the same for the life of the implementation.
//   3. A placeholder owns the implementation it replaced (`wrapped`): it keeps it alive,
//      unchanged and detached, forwards cleanup() to it, and deletes it exactly once, first
//      thing in its own destructor.
//   4. VeskDummy answers every read as an empty, unmounted table; VeskStrictDummy stops the
//      process on any read, count or initialisation, naming the table, its root path and the
//      reason given by its owner (`suffix`). Both are one class, Placeholder, with the policy
//      as its template argument.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/RootPath.h"
#include "Vesk/VeskInterfaceBase.h"
#include "VeskBase/Types.h"

#include <functional>
#include <memory>
#include <string>

namespace Vesk {

// The five notification callbacks of a front: a record changed, a key changed, a key removed,
// the mount status changed, the table became quiesced or not.
template <class Value, class Key>
struct Notify {
    std::function<void(const Value&)> onValue;
    std::function<void(const Key&)> onKey;
    std::function<void(const Key&)> onKey2;
    std::function<void()> onMountStatus;
    std::function<void(bool)> onQuiesced;
};

template <class OpsT>
class VeskInterface : public VeskInterfaceBase {
  public:
    using Ops = OpsT;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    explicit VeskInterface(const Ops& ops) : ops_(ops) {}

    // Record-typed operations, in the order of the interface (after VeskInterfaceBase's).

    // Stores `value` (replacing the record of its key when `overwrite`) and returns the record
    // as stored. Default: refuses.
    virtual const Value* write(const Value& value, bool overwrite);
    // Removes the record of `key`, copying it into `removed`; false when absent. Default:
    // refuses.
    virtual bool remove(const Key& key, Value& removed);
    // Sets `found` and returns the record of `key`, or the default record when absent.
    // `buffer` is caller-owned room for one record, for implementations that copy.
    virtual const Value* lookup(const Key& key, bool& found, void* buffer) = 0;
    // Fills `out` with the first record and starts `hint`; false when there is none.
    virtual bool first(Value& out, IterHint& hint) = 0;
    // Fills `out` with the record after `after` and advances `hint`; false at the end.
    virtual bool next(const Key& after, Value& out, IterHint& hint) = 0;
    // Opens a direct operation on `value`'s key and returns the record to fill (the writer's own
    // copy until directCommit publishes it).
    // Default: refuses.
    virtual Value* directWrite(const Value& value);
    // Opens a direct operation on an existing `key`; null when absent. Default: refuses.
    virtual Value* directUpdate(const Key& key);
    // Publishes the open direct operation. Default: refuses.
    virtual void directCommit();
    // Default: the answer of lookup().
    virtual const Value* directLookup(const Key& key, bool& found, void* buffer);

    const Ops& ops() const { return ops_; }
    // The record lookups return when nothing is found.
    const Value& defaultValue() const { return ops_.defaultValue; }

  protected:
    Ops ops_;
};

// The placeholders, one body with two policies. VeskDummy (kStrict false) is the quiet one: an
// empty, unmounted table that answers every read and traces it at level 5. VeskStrictDummy
// (kStrict true) stands for an orphaned table whose owner asked to hear of any use: every read,
// count and initialisation is a fatal assertion ending in `suffix`. Both answer detach,
// validation, cleanup, rootPath, veskName and mountStatus alike (the strict one without trace).
template <class OpsT, bool kStrict>
class Placeholder : public VeskInterface<OpsT>, public Pimbo::Debuggable {
  public:
    using Ops = OpsT;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    // Takes ownership of `wrapped` (may be null). `flag` is the root path's may-create flag;
    // `suffix` ends every assertion of the strict placeholder.
    Placeholder(Pimbo::Platform::DebugHandler& handler, const std::string& name, const Ops& ops,
                VeskInterface<Ops>* wrapped, bool flag, const std::string& suffix = "")
        : VeskInterface<OpsT>(ops),
          Pimbo::Debuggable(handler, kStrict ? "VeskStrictDummy" : "VeskDummy"),
          name_(name),
          rootPath_(handler, name, flag),
          suffix_(suffix),
          wrapped_(wrapped) {}
    // Members go in reverse order: the wrapped implementation first, then the root path and the
    // name; the trace handle last.
    ~Placeholder() override = default;

    bool initialize(const std::string& event) override {
        if constexpr (kStrict)
            PIMBO_FAIL("{} rootPath:{} event:{}{}", name_, rootPath_, event, suffix_);
        PIMBO_TRACE(5, "{} event:{}", name_, event);
        return true;
    }
    void detach(bool) override { PIMBO_TRACE(5, "{}", name_); }
    bool validate() override {
        PIMBO_TRACE(5, "{}", name_);
        return true;
    }
    bool validateFiles() override {
        PIMBO_TRACE(5, "{}", name_);
        return true;
    }
    // The files of a writer that was replaced by this placeholder are still its business.
    bool cleanup() override {
        PIMBO_TRACE(5, "{}", name_);
        return wrapped_ ? wrapped_->cleanup() : false;
    }
    uint32_t members() override { return zero(__func__); }
    uint32_t buckets() override { return zero(__func__); }
    uint32_t minSize() override { return zero(__func__); }
    uint32_t maxSize() override { return zero(__func__); }
    uint32_t capacity() override { return zero(__func__); }
    // A waiting reader looks like a reader; only its mount status (0) tells it apart.
    VeskType type() override {
        enter(__func__);
        return VeskType::reader;
    }
    Reader::Counters readerCounters() override {
        enter(__func__);
        return Reader::Counters();
    }
    RootPath rootPath() override { return rootPath_; }
    std::string veskName() override { return rootPath_.veskName(); }
    MountStatus mountStatus() override {
        if constexpr (!kStrict)
            PIMBO_TRACE(5, "{}", name_);
        return 0;
    }
    // Only an anchor taken by a successful lookup can be validated, and no lookup of a
    // placeholder succeeds: whoever holds an anchor got it from another implementation, whose
    // record this placeholder cannot vouch for. Refusing (Mem::VersionMismatchException) is the
    // only honest answer; the caller re-reads.
    bool validateVersionAnchor() override {
        if constexpr (kStrict)
            enter(__func__);
        PIMBO_THROW(Mem::VersionMismatchException,
                    "should never be called since it's impossible for a lookup to succeed: Vesk "
                    "table {} is a placeholder (rootpath:{}) and vouches for no record",
                    name_, rootPath_);
    }
    const Value* lookup(const Key& key, bool& found, void*) override {
        enter(__func__, &key);
        found = false;
        return &this->ops_.defaultValue;
    }
    bool first(Value& out, IterHint&) override {
        enter(__func__);
        Ops::copyValue(out, this->ops_.defaultValue);
        return false;
    }
    // Answers as first does.
    bool next(const Key& after, Value& out, IterHint& hint) override {
        enter(__func__, &after);
        return Placeholder::first(out, hint);
    }

    VeskInterface<Ops>* wrapped() const { return wrapped_.get(); }
    const std::string& suffix() const { return suffix_; }

  private:
    // A count: 0, after enter(op).
    uint32_t zero(const char* op) const {
        enter(op);
        return 0;
    }
    // Every read and count enters here, naming its operation `op`: the quiet placeholder traces
    // it at level 5, the strict one stops the process naming the table, the key (when given)
    // and its owner's reason.
    void enter(const char* op, const Key* key = nullptr) const {
        if constexpr (kStrict) {
            Pimbo::fmassert(debugClass(), __FILE__, op, __LINE__,
                            fmt::format("invoked, name:{} rootpath:{}{}{}", name_, rootPath_,
                                        key ? fmt::format(" key:{}", *key) : "", suffix_));
        } else if (debugHandler().enabled(5)) {
            debugHandler().emit(5, debugClass(), __FILE__, op, __LINE__, name_);
        }
    }

    std::string name_;
    RootPath rootPath_;
    std::string suffix_;
    std::unique_ptr<VeskInterface<Ops>> wrapped_;
};

template <class OpsT>
using VeskDummy = Placeholder<OpsT, false>;
template <class OpsT>
using VeskStrictDummy = Placeholder<OpsT, true>;

// ---- VeskInterface defaults ----

template <class OpsT>
const typename OpsT::Value* VeskInterface<OpsT>::write(const Value& value, bool) {
    PIMBO_THROW(Pimbo::NoPermissionException, "write to read-only Vesk table {} value:{}",
                veskName(), value);
}

template <class OpsT>
bool VeskInterface<OpsT>::remove(const Key& key, Value&) {
    PIMBO_THROW(Pimbo::NoPermissionException, "remove to read-only Vesk table {} {}", veskName(),
                key);
}

template <class OpsT>
typename OpsT::Value* VeskInterface<OpsT>::directWrite(const Value& value) {
    PIMBO_THROW(Pimbo::NoPermissionException, "write to read-only Vesk table {} value:{}",
                veskName(), value);
}

template <class OpsT>
typename OpsT::Value* VeskInterface<OpsT>::directUpdate(const Key& key) {
    PIMBO_THROW(Pimbo::NoPermissionException, "write to read-only Vesk table {} {}", veskName(),
                key);
}

template <class OpsT>
void VeskInterface<OpsT>::directCommit() {
    PIMBO_THROW(Pimbo::NoPermissionException, "write to read-only Vesk table {}", veskName());
}

template <class OpsT>
const typename OpsT::Value* VeskInterface<OpsT>::directLookup(const Key& key, bool& found,
                                                              void* buffer) {
    return this->lookup(key, found, buffer);
}

}  // namespace Vesk
