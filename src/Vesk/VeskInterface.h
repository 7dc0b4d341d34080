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
//      reason given by its owner (`suffix`).
#pragma once

#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Vesk/RootPath.h"
#include "Vesk/Types.h"
#include "Vesk/VeskInterfaceBase.h"

#include <memory>
#include <string>

namespace Vesk {

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
    // Opens a direct operation on `value`'s key and returns the area to fill in place.
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

// The quiet placeholder: an empty, unmounted table that answers every read.
template <class OpsT>
class VeskDummy : public VeskInterface<OpsT>, public Pimbo::Debuggable {
  public:
    using Ops = OpsT;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    // Takes ownership of `wrapped` (may be null). `flag` is the root path's may-create flag.
    VeskDummy(Pimbo::Platform::DebugHandler& handler, const std::string& name, const Ops& ops,
              VeskInterface<Ops>* wrapped, bool flag);
    ~VeskDummy() override;

    bool initialize(const std::string& event) override;
    void detach(bool deleted) override;
    bool validate() override;
    bool validateFiles() override;
    bool cleanup() override;
    uint32_t members() override;
    uint32_t buckets() override;
    uint32_t minSize() override;
    uint32_t maxSize() override;
    uint32_t capacity() override;
    VeskType type() override;
    Reader::Counters readerCounters() override;
    RootPath rootPath() override;
    std::string veskName() override;
    MountStatus mountStatus() override;
    // Throws Mem::VersionMismatchException: a placeholder's lookup never succeeds, so no
    // record is vouched for.
    bool validateVersionAnchor() override;
    const Value* lookup(const Key& key, bool& found, void* buffer) override;
    bool first(Value& out, IterHint& hint) override;
    bool next(const Key& after, Value& out, IterHint& hint) override;

    VeskInterface<Ops>* wrapped() const { return wrapped_.get(); }

  private:
    std::string name_;
    RootPath rootPath_;
    std::unique_ptr<VeskInterface<Ops>> wrapped_;
};

// The loud placeholder of an orphaned table whose owner asked to hear of any use: every read,
// count and initialisation is a fatal assertion ending in `suffix`.
template <class OpsT>
class VeskStrictDummy : public VeskInterface<OpsT>, public Pimbo::Debuggable {
  public:
    using Ops = OpsT;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    VeskStrictDummy(Pimbo::Platform::DebugHandler& handler, const std::string& name, const Ops& ops,
                    VeskInterface<Ops>* wrapped, bool flag, const std::string& suffix);
    ~VeskStrictDummy() override;

    bool initialize(const std::string& event) override;
    void detach(bool deleted) override;
    bool validate() override;
    bool validateFiles() override;
    bool cleanup() override;
    uint32_t members() override;
    uint32_t buckets() override;
    uint32_t minSize() override;
    uint32_t maxSize() override;
    uint32_t capacity() override;
    VeskType type() override;
    Reader::Counters readerCounters() override;
    RootPath rootPath() override;
    std::string veskName() override;
    MountStatus mountStatus() override;
    bool validateVersionAnchor() override;
    const Value* lookup(const Key& key, bool& found, void* buffer) override;
    bool first(Value& out, IterHint& hint) override;
    bool next(const Key& after, Value& out, IterHint& hint) override;

    VeskInterface<Ops>* wrapped() const { return wrapped_.get(); }
    const std::string& suffix() const { return suffix_; }

  private:
    std::string name_;
    RootPath rootPath_;
    std::string suffix_;
    std::unique_ptr<VeskInterface<Ops>> wrapped_;
};

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

// ---- VeskDummy ----

template <class OpsT>
VeskDummy<OpsT>::VeskDummy(Pimbo::Platform::DebugHandler& handler, const std::string& name,
                           const Ops& ops, VeskInterface<Ops>* wrapped, bool flag)
    : VeskInterface<OpsT>(ops),
      Pimbo::Debuggable(handler, "VeskDummy"),
      name_(name),
      rootPath_(handler, name, flag),
      wrapped_(wrapped) {}

// Members go in reverse order: the wrapped implementation first, then the root path and the
// name; the trace handle last.
template <class OpsT>
VeskDummy<OpsT>::~VeskDummy() = default;

template <class OpsT>
bool VeskDummy<OpsT>::initialize(const std::string& event) {
    PIMBO_TRACE(5, "{} event:{}", name_, event);
    return true;
}

template <class OpsT>
void VeskDummy<OpsT>::detach(bool) {
    PIMBO_TRACE(5, "{}", name_);
}

template <class OpsT>
bool VeskDummy<OpsT>::validate() {
    PIMBO_TRACE(5, "{}", name_);
    return true;
}

template <class OpsT>
bool VeskDummy<OpsT>::validateFiles() {
    PIMBO_TRACE(5, "{}", name_);
    return true;
}

// The files of a writer that was replaced by this placeholder are still its business.
template <class OpsT>
bool VeskDummy<OpsT>::cleanup() {
    PIMBO_TRACE(5, "{}", name_);
    return wrapped_ ? wrapped_->cleanup() : false;
}

template <class OpsT>
uint32_t VeskDummy<OpsT>::members() {
    PIMBO_TRACE(5, "{}", name_);
    return 0;
}

template <class OpsT>
uint32_t VeskDummy<OpsT>::buckets() {
    PIMBO_TRACE(5, "{}", name_);
    return 0;
}

template <class OpsT>
uint32_t VeskDummy<OpsT>::minSize() {
    PIMBO_TRACE(5, "{}", name_);
    return 0;
}

template <class OpsT>
uint32_t VeskDummy<OpsT>::maxSize() {
    PIMBO_TRACE(5, "{}", name_);
    return 0;
}

template <class OpsT>
uint32_t VeskDummy<OpsT>::capacity() {
    PIMBO_TRACE(5, "{}", name_);
    return 0;
}

// A waiting reader looks like a reader; only its mount status (0) tells it apart.
template <class OpsT>
VeskType VeskDummy<OpsT>::type() {
    PIMBO_TRACE(5, "{}", name_);
    return VeskType::reader;
}

template <class OpsT>
Reader::Counters VeskDummy<OpsT>::readerCounters() {
    PIMBO_TRACE(5, "{}", name_);
    return Reader::Counters();
}

template <class OpsT>
RootPath VeskDummy<OpsT>::rootPath() {
    return rootPath_;
}

template <class OpsT>
std::string VeskDummy<OpsT>::veskName() {
    return rootPath_.veskName();
}

template <class OpsT>
MountStatus VeskDummy<OpsT>::mountStatus() {
    PIMBO_TRACE(5, "{}", name_);
    return 0;
}

// Only an anchor taken by a successful lookup can be validated, and no lookup of a placeholder
// succeeds: whoever holds an anchor got it from another implementation, whose record this
// placeholder cannot vouch for. Refusing is the only honest answer; the caller re-reads.
template <class OpsT>
bool VeskDummy<OpsT>::validateVersionAnchor() {
    PIMBO_THROW(Mem::VersionMismatchException,
                "should never be called since it's impossible for a lookup to succeed: Vesk "
                "table {} is a placeholder (rootpath:{}) and vouches for no record",
                name_, rootPath_);
}

template <class OpsT>
const typename OpsT::Value* VeskDummy<OpsT>::lookup(const Key&, bool& found, void*) {
    PIMBO_TRACE(5, "{}", name_);
    found = false;
    return &this->ops_.defaultValue;
}

template <class OpsT>
bool VeskDummy<OpsT>::first(Value& out, IterHint&) {
    PIMBO_TRACE(5, "{}", name_);
    Ops::copyValue(out, this->ops_.defaultValue);
    return false;
}

template <class OpsT>
bool VeskDummy<OpsT>::next(const Key&, Value& out, IterHint& hint) {
    PIMBO_TRACE(5, "{}", name_);
    return VeskDummy::first(out, hint);
}

// ---- VeskStrictDummy ----

template <class OpsT>
VeskStrictDummy<OpsT>::VeskStrictDummy(Pimbo::Platform::DebugHandler& handler,
                                       const std::string& name, const Ops& ops,
                                       VeskInterface<Ops>* wrapped, bool flag,
                                       const std::string& suffix)
    : VeskInterface<OpsT>(ops),
      Pimbo::Debuggable(handler, "VeskStrictDummy"),
      name_(name),
      rootPath_(handler, name, flag),
      suffix_(suffix),
      wrapped_(wrapped) {}

// Members go in reverse order: the wrapped implementation first.
template <class OpsT>
VeskStrictDummy<OpsT>::~VeskStrictDummy() = default;

template <class OpsT>
bool VeskStrictDummy<OpsT>::initialize(const std::string& event) {
    PIMBO_FAIL("{} rootPath:{} event:{}{}", name_, rootPath_, event, suffix_);
}

template <class OpsT>
void VeskStrictDummy<OpsT>::detach(bool) {
    PIMBO_TRACE(5, "{}", name_);
}

template <class OpsT>
bool VeskStrictDummy<OpsT>::validate() {
    PIMBO_TRACE(5, "{}", name_);
    return true;
}

template <class OpsT>
bool VeskStrictDummy<OpsT>::validateFiles() {
    PIMBO_TRACE(5, "{}", name_);
    return true;
}

template <class OpsT>
bool VeskStrictDummy<OpsT>::cleanup() {
    PIMBO_TRACE(5, "{}", name_);
    return wrapped_ ? wrapped_->cleanup() : false;
}

template <class OpsT>
uint32_t VeskStrictDummy<OpsT>::members() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
uint32_t VeskStrictDummy<OpsT>::buckets() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
uint32_t VeskStrictDummy<OpsT>::minSize() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
uint32_t VeskStrictDummy<OpsT>::maxSize() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
uint32_t VeskStrictDummy<OpsT>::capacity() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
VeskType VeskStrictDummy<OpsT>::type() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
Reader::Counters VeskStrictDummy<OpsT>::readerCounters() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
RootPath VeskStrictDummy<OpsT>::rootPath() {
    return rootPath_;
}

template <class OpsT>
std::string VeskStrictDummy<OpsT>::veskName() {
    return rootPath_.veskName();
}

template <class OpsT>
MountStatus VeskStrictDummy<OpsT>::mountStatus() {
    return 0;
}

template <class OpsT>
bool VeskStrictDummy<OpsT>::validateVersionAnchor() {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
const typename OpsT::Value* VeskStrictDummy<OpsT>::lookup(const Key& key, bool&, void*) {
    PIMBO_FAIL("invoked, name:{} rootpath:{} key:{}{}", name_, rootPath_, key, suffix_);
}

template <class OpsT>
bool VeskStrictDummy<OpsT>::first(Value&, IterHint&) {
    PIMBO_FAIL("invoked, name:{} rootpath:{}{}", name_, rootPath_, suffix_);
}

template <class OpsT>
bool VeskStrictDummy<OpsT>::next(const Key& after, Value&, IterHint&) {
    PIMBO_FAIL("invoked, name:{} rootpath:{} key:{}{}", name_, rootPath_, after, suffix_);
}

}  // namespace Vesk
