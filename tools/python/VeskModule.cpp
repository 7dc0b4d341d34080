// The Python module `vesk`: read-only access to live tables from scripts, through the library's
// one way into a table (Vesk/TableAccess.h: the probe, the lock-free reader, the reason of a
// failure as a value), as the tool's read commands use it (tools/ReadCommands.cpp). Nothing here
// takes the writer's lock or opens its files for writing; a record type is known from the
// table's files (probeTable) and its field names from the registered module description
// (RecordFields), so no record type has code of its own here. Errors are classed by their
// reason (Vesk::AttachFailure), never by their text. A file cut short under a table's reader
// raises vesk.Error (the library's guard turns the signal into a failed read).
//
// Who may call what: Python code only, always with the GIL held. A reader is used by one thread
// at a time: the GIL is its lock. No function here releases the GIL, and no Python code runs
// while a reader call is under way (nothing in one allocates a Python object), so two Python
// threads, or a finalizer run by a garbage collection, never use one reader at once. Python
// code does run while the records of an answer are made (an allocation may collect garbage,
// and a finalizer may use the same table or switch threads): every answer is therefore made
// from memory that belongs to that call alone (its records copied out by the reader, each
// record's words read into the call's own array), never from a buffer of the table; an
// iteration's records read ahead are each copied out of its buffer before it is made.
//
// Speed: t[k], k in t, get_many, records() and an iteration's __next__ are C functions of their
// classes, called by the interpreter without pybind11's dispatch; records are made as the named
// tuple's __new__ makes them and left out of the garbage collector's lists; the look at a
// table's files (an fstat) is made at most once per coarse clock tick (TypedTable::follow).
//
// The table root is one setting of the process (Mem::RootPath::rootIs). A reader keeps the
// absolute directory it was made with (its RootPath), so a table is opened with the root set to
// the caller's `root` for the time of the open only, and every later look at its files (stat)
// sets the table's own root again. Tables opened under different roots work side by side.
#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "TableFiles.h"
#include "TableReader.h"
#include "ToolError.h"
#include "Vesk/VeskReader.h"

#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace VeskPython {

using VeskTool::kTable;
using VeskTool::ToolError;

// ----- errors -----

// The exception classes, made once at import; owned by the module (these references are never
// released, as the interpreter keeps the module's classes to its end).
struct Errors {
    PyObject* base = nullptr;
    PyObject* noSuchTable = nullptr;
    PyObject* permissionDenied = nullptr;
    PyObject* notATable = nullptr;
    PyObject* corrupt = nullptr;
};
Errors gErrors;

// Which of the classes an error raises.
using ErrorClass = PyObject* Errors::*;

// The class of each reason a table cannot be read for (Vesk::AttachFailure).
ErrorClass errorOf(Vesk::AttachFailure failure) {
    switch (failure) {
        case Vesk::AttachFailure::noSuchTable:
        case Vesk::AttachFailure::noFiles:
            return &Errors::noSuchTable;
        case Vesk::AttachFailure::permissionDenied:
            return &Errors::permissionDenied;
        case Vesk::AttachFailure::notATable:
            return &Errors::notATable;
        case Vesk::AttachFailure::corrupt:
            return &Errors::corrupt;
        default:
            return &Errors::base;
    }
}

// Raises the vesk.Error subclass of `reason` with the message and the attributes `table` (None
// for no one table) and `reason` (the reason's text; None for none).
[[noreturn]] void raiseError(const std::string& message, const std::string& table,
                             Vesk::AttachFailure reason) {
    PyObject* type = gErrors.*errorOf(reason);
    py::object error = py::reinterpret_borrow<py::object>(type)(message);
    error.attr("table") = table.empty() ? py::none() : py::object(py::str(table));
    error.attr("reason") = reason == Vesk::AttachFailure::none
                               ? py::none()
                               : py::object(py::str(Vesk::attachFailureText(reason)));
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

// Runs f, turning what the tool's layer and the reader throw into vesk errors about `table`.
template <class F>
decltype(auto) guarded(const std::string& table, F&& f) {
    try {
        return f();
    } catch (const ToolError& e) {
        raiseError(e.what(), table, e.reason());
    } catch (const Vesk::TableUnreadableException& e) {
        raiseError(fmt::format("{}: {}", Vesk::attachFailureText(e.reason()), e.msg()), table,
                   e.reason());
    } catch (const Pimbo::CorruptionDetectedException& e) {
        raiseError(fmt::format("corrupt: table '{}': {}", table, e.msg()), table,
                   Vesk::AttachFailure::corrupt);
    } catch (const Pimbo::Exception& e) {
        // As the tool reports it: the library's message, the table named here.
        raiseError(fmt::format("table '{}': {}", table, e.msg()), table, Vesk::AttachFailure::none);
    }
}

// ----- roots and keys -----

// Sets the process's table root to `root` (when given) until the end of the scope.
class RootScope {
  public:
    explicit RootScope(const std::optional<std::string>& root) : previous_(Mem::RootPath::root()) {
        if (root) {
            if (root->empty())
                throw py::value_error("bad root '': a directory is required");
            Mem::RootPath::rootIs(*root);
        }
    }
    ~RootScope() { Mem::RootPath::rootIs(previous_); }
    RootScope(const RootScope&) = delete;
    RootScope& operator=(const RootScope&) = delete;

  private:
    std::string previous_;
};

// A key from Python: an int 0..2^64-1.
uint64_t toKey(py::handle key) {
    if (!PyLong_Check(key.ptr())) {
        throw py::type_error(fmt::format("a key is an int, not {}",
                                         std::string(py::str(key.get_type().attr("__name__")))));
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(key.ptr());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(
            PyExc_OverflowError,
            fmt::format("key {} is out of range: a key is 0 to 2**64-1", std::string(py::repr(key)))
                .c_str());
        throw py::error_already_set();
    }
    return value;
}

// The record class of a record type: a collections.namedtuple named after the type's kind
// ("SimpleRecord"), whose fields are the description's names, key first. Made once per type.
py::object recordClass(const std::string& kindName, const VeskTool::RecordFields& fields) {
    static std::map<std::string, PyObject*> made;  // never released, as gErrors
    PyObject*& cls = made[kindName];
    if (cls == nullptr) {
        std::string className = kindName + "Record";
        className[0] = char(std::toupper(static_cast<unsigned char>(className[0])));
        py::object type =
            py::module_::import("collections").attr("namedtuple")(className, fields.names());
        type.attr("__module__") = "vesk";
        cls = type.release().ptr();
    }
    return py::reinterpret_borrow<py::object>(cls);
}

// The coarse monotonic clock in nanoseconds: it moves once per tick (a few milliseconds) and is
// read without a system call.
int64_t coarseTick() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// ----- tables -----

class Cursor;

// One table opened for reading: its reader, under the root it was opened with.
class Table {
  public:
    Table(const VeskTool::TableProbe& probe, std::string root, bool plain)
        : name_(probe.name),
          type_(probe.typeText()),
          root_(std::move(root)),
          fields_(probe.valueType),
          fieldCount_(Py_ssize_t(fields_.names().size())),
          recordClass_(plain ? py::object() : recordClass(type_, fields_)) {}
    virtual ~Table() = default;

    const std::string& name() const { return name_; }
    const std::string& type() const { return type_; }
    const std::string& root() const { return root_; }
    const std::vector<std::string>& fields() const { return fields_.names(); }

    // The record of `key`, or None.
    virtual py::object get(uint64_t key) = 0;
    // The records of `keys` (None for a key not found), from lookupMany in batches.
    virtual py::list getMany(const std::vector<uint64_t>& keys) = 0;
    // Every record, by one slot-order scan that met no re-format.
    virtual py::list records() = 0;
    virtual uint32_t size() = 0;
    virtual std::unique_ptr<Cursor> cursor() = 0;
    virtual py::dict stat() = 0;

    std::string repr() {
        return fmt::format("<vesk.Table '{}' ({}, {} records) under {}>", name_, type_, size(),
                           root_);
    }

  protected:
    // The record of type Value `value` as an instance of the record class. Its words are read
    // into this call's own array before anything Python runs: making the tuple may collect
    // garbage, whose finalizers may use this table or let another thread use it.
    template <class Value>
    py::object record(const Value& value) const {
        uint64_t words[kMaxWords<Value>];
        readWords(&value, words);
        // Made as the named tuple's __new__ makes it (a tuple of the class, its items in
        // order) without calling it: a third of the cost of a record. It is allocated untracked
        // (PyObject_GC_NewVar, where the class's tp_alloc would track it), and a plain tuple is
        // untracked once made: a tuple of ints can be in no reference cycle, so the collector
        // need not look at it (as it stops looking at plain tuples of ints), which keeps a
        // large answer from setting off collections of the whole heap. An item not made is
        // null, as tuple deallocation expects.
        const Py_ssize_t n = fieldCount_;
        PyObject* made =
            recordClass_
                ? reinterpret_cast<PyObject*>(PyObject_GC_NewVar(PyTupleObject, recordType(), n))
                : PyTuple_New(n);
        if (made == nullptr)
            throw py::error_already_set();
        py::object out = py::reinterpret_steal<py::object>(made);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* word = PyLong_FromUnsignedLongLong(words[i]);
            if (word == nullptr) {
                for (Py_ssize_t j = i; j < n; ++j)
                    PyTuple_SET_ITEM(made, j, nullptr);
                throw py::error_already_set();
            }
            PyTuple_SET_ITEM(made, i, word);
        }
        if (!recordClass_)
            PyObject_GC_UnTrack(made);
        return out;
    }

    // The words of `record`, a copy this call owns, in field order.
    template <size_t N>
    void readWords(const void* record, uint64_t (&words)[N]) const {
        if (wordAt_.empty()) {
            fields_.read(record, words);
            return;
        }
        for (size_t i = 0; i < std::min(N, wordAt_.size()); ++i)
            std::memcpy(&words[i], static_cast<const char*>(record) + wordAt_[i], sizeof(*words));
    }

    // Where each field's word lies in a record of type Value, as a byte offset: found once by
    // reading, through the description, a record whose words all differ. Reading the words in
    // place costs a tenth of reading each through the description; a field that is not one
    // stored word of the record (none is today) leaves the description reading every record.
    template <class Value>
    void findWords() {
        static_assert(std::is_trivially_copyable_v<Value>, "records are copied bytewise");
        uint64_t marks[kMaxWords<Value>];
        alignas(Value) unsigned char probe[sizeof(Value)] = {};
        for (size_t j = 0; j < kMaxWords<Value>; ++j)
            marks[j] = 0x5EC0'0000'0000'0000 + j;
        std::memcpy(probe, marks, sizeof(marks));
        uint64_t words[kMaxWords<Value>];
        fields_.read(probe, words);
        std::vector<size_t> at;
        for (size_t i = 0; i < fields_.names().size(); ++i) {
            const uint64_t* mark = std::find(marks, marks + kMaxWords<Value>, words[i]);
            if (mark == marks + kMaxWords<Value>)
                return;
            at.push_back(size_t(mark - marks) * sizeof(uint64_t));
        }
        wordAt_ = std::move(at);
    }

    // Every field is one word of the record (RecordFields), so a record has at most this many.
    template <class Value>
    static constexpr size_t kMaxWords = sizeof(Value) / sizeof(uint64_t);

    std::string name_;
    std::string type_;  // the kind's name ("simple")
    std::string root_;  // absolute, as the reader's RootPath holds it
    VeskTool::RecordFields fields_;
    Py_ssize_t fieldCount_;       // the record class's items
    std::vector<size_t> wordAt_;  // findWords; empty: read through the description
    py::object recordClass_;      // null: records are plain tuples

  private:
    PyTypeObject* recordType() const { return reinterpret_cast<PyTypeObject*>(recordClass_.ptr()); }
};

// A walk of the table in table order (first/next), for `for r in table`.
class Cursor {
  public:
    virtual ~Cursor() = default;
    // The next record; throws py::stop_iteration at the end.
    virtual py::object next() = 0;
};

template <class Ops>
class TypedTable;

template <class Ops>
class TypedCursor : public Cursor {
  public:
    explicit TypedCursor(TypedTable<Ops>& table) : table_(table) {}
    py::object next() override;

  private:
    using Value = typename Ops::Value;
    // Reads the next records into ahead_, as many as the last time twice over (the first read
    // reads one: a walk stopped early reads little ahead).
    void readAhead();

    // Records read ahead, at most this many at a time.
    static constexpr size_t kMaxAhead = 256;

    TypedTable<Ops>& table_;    // kept alive by the Python iterator (keep_alive)
    std::vector<Value> ahead_;  // read, not yet handed out: from at_ on
    size_t at_ = 0;
    size_t ask_ = 1;
    Value last_{};  // the last record read: the walk goes on after its key
    Vesk::IterHint hint_;
    bool started_ = false;
    bool walked_ = false;  // the reader reached the end
    bool ended_ = false;
    uint64_t generations_ = 0;
};

template <class Ops>
class TypedTable : public Table {
  public:
    using Value = typename Ops::Value;

    TypedTable(const VeskTool::TableProbe& probe, std::unique_ptr<Vesk::VeskReader<Ops>> reader,
               bool plain)
        : Table(probe, reader->rootPath().rootDirectory(), plain), reader_(std::move(reader)) {
        if (fields_.names().size() > kMaxWords<Value>) {
            throw ToolError(kTable, fmt::format("wrong record type: table '{}' describes {} "
                                                "fields in a record of {} bytes",
                                                name_, fields_.names().size(), sizeof(Value)));
        }
        findWords<Value>();
    }

    py::object get(uint64_t key) override {
        return guarded(name_, [&]() -> py::object {
            follow();
            Value v{};
            bool found = false;
            reader_->lookup(typename Ops::Key(key), found, &v);
            VeskTool::requireMounted(*reader_, name_);
            return found ? record(v) : py::none();
        });
    }

    py::list getMany(const std::vector<uint64_t>& keys) override {
        return guarded(name_, [&] {
            follow();
            // The keys in batches, the memory accesses of each batch's keys overlapped
            // (lookupMany), its records made from this call's copies before the next batch.
            constexpr size_t kBatch = 128;
            typename Ops::Key batch[kBatch];
            Value values[kBatch];
            bool found[kBatch];
            py::list out(keys.size());
            for (size_t from = 0; from < keys.size(); from += kBatch) {
                const size_t n = std::min(kBatch, keys.size() - from);
                std::copy_n(keys.begin() + ptrdiff_t(from), n, batch);
                reader_->lookupMany(batch, n, values, found);
                VeskTool::requireMounted(*reader_, name_);
                for (size_t i = 0; i < n; ++i) {
                    py::object r = found[i] ? record(values[i]) : py::none();
                    PyList_SET_ITEM(out.ptr(), Py_ssize_t(from + i), r.release().ptr());
                }
            }
            return out;
        });
    }

    py::list records() override {
        return guarded(name_, [&] {
            follow();
            const std::vector<Value> all = VeskTool::readAll(*reader_, name_);
            py::list out(all.size());
            for (size_t i = 0; i < all.size(); ++i)
                PyList_SET_ITEM(out.ptr(), Py_ssize_t(i), record(all[i]).release().ptr());
            return out;
        });
    }

    uint32_t size() override {
        return guarded(name_, [&] {
            follow();
            return reader_->members();
        });
    }

    std::unique_ptr<Cursor> cursor() override { return std::make_unique<TypedCursor<Ops>>(*this); }

    py::dict stat() override {
        return guarded(name_, [&] {
            follow();
            const VeskTool::TableProbe p = [&] {
                const RootScope scope(root_);
                return VeskTool::probeTable(name_);
            }();
            const Vesk::Reader::Counters c = reader_->readerCounters();
            py::dict d;
            d["name"] = name_;
            d["root"] = root_;
            d["directory"] = p.directory;
            d["type"] = type_;
            d["value_type"] = p.valueType;
            d["records"] = reader_->members();
            d["capacity"] = reader_->capacity();
            d["buckets"] = reader_->buckets();
            d["writer_pid"] = p.writerPid;
            d["writer_alive"] = p.writerAlive;
            d["generation"] = p.cinder.toString();
            d["lookups"] = c.lookups;
            d["iterations"] = c.iterations;
            d["retries"] = c.retries;
            d["slow_paths"] = c.slowPaths;
            d["remap_retries"] = c.remapRetries;
            d["resizes"] = c.resizes;
            d["bucket_resizes"] = c.bucketResizes;
            d["base_changes"] = c.baseChanges;
            d["lookaside_reads"] = c.lookasideReads;
            d["generation_changes"] = c.generationChanges;
            d["scans"] = c.scans;
            d["scan_fallbacks"] = c.scanFallbacks;
            d["slot_file_size"] = c.slotFileSize;
            d["bucket_file_size"] = c.bucketFileSize;
            return d;
        });
    }

    Vesk::VeskReader<Ops>& reader() { return *reader_; }
    using Table::record;

    // Every call first makes sure that the reader answers from the files now at the table's
    // path (a table removed and made again is a new generation: VeskReader::followFiles); an
    // iteration does so when it starts. That look costs a system call, more than a lookup, so an
    // attached reader looks at most once per tick of the coarse clock: a call in the same tick
    // as the last look answers from the files it has, which a table removed meanwhile may make
    // stale by at most that tick. A reader without files looks at every call.
    void follow() {
        const int64_t tick = coarseTick();
        if (tick == followedAt_ && reader_->mountStatus() != 0)
            return;
        followedAt_ = tick;
        if (!reader_->followFiles()) {
            const Vesk::AttachFailure why = reader_->attachFailure();
            throw Vesk::TableUnreadableException(
                why == Vesk::AttachFailure::none ? Vesk::AttachFailure::noFiles : why,
                fmt::format("table '{}' was removed or made anew, and its files cannot be read "
                            "now: {}",
                            name_, reader_->attachFailureMessage()));
        }
    }

  private:
    std::unique_ptr<Vesk::VeskReader<Ops>> reader_;
    int64_t followedAt_ = -1;  // the coarse tick of the last look at the files
};

template <class Ops>
void TypedCursor<Ops>::readAhead() {
    Vesk::VeskReader<Ops>& reader = table_.reader();
    const std::string& name = table_.name();
    ahead_.clear();
    at_ = 0;
    guarded(name, [&] {
        bool more = true;
        if (!started_) {
            table_.follow();
            started_ = true;
            // A re-format met by first is harmless: first answers from the new files.
            more = reader.first(last_, hint_);
            generations_ = reader.counters().generationChanges;
            if (more)
                ahead_.push_back(last_);
        }
        while (more && ahead_.size() < ask_) {
            more = reader.next(Ops::key(last_), last_, hint_);
            if (more)
                ahead_.push_back(last_);
        }
        walked_ = !more;
    });
    ask_ = std::min(2 * ask_, kMaxAhead);
    if (VeskTool::reformatted(reader, generations_)) {
        ended_ = true;
        raiseError(fmt::format("table '{}' was re-formatted during the iteration; the records "
                               "seen are not the whole table (iterate again)",
                               name),
                   name, Vesk::AttachFailure::none);
    }
}

template <class Ops>
py::object TypedCursor<Ops>::next() {
    if (!ended_ && at_ == ahead_.size() && !walked_)
        readAhead();
    if (ended_ || at_ == ahead_.size()) {
        ended_ = true;
        throw py::stop_iteration();
    }
    // Copied out and passed before the record is made: making it may run a finalizer that
    // uses this iterator.
    const Value value = ahead_[at_++];
    return guarded(table_.name(), [&] { return table_.record(value); });
}

std::vector<std::string> tables(const std::optional<std::string>& root) {
    return guarded("", [&] {
        const RootScope scope(root);
        return VeskTool::findTables();
    });
}

std::shared_ptr<Table> open(const std::string& name, const std::optional<std::string>& root,
                            bool plain) {
    return guarded(name, [&] {
        const RootScope scope(root);
        const VeskTool::TableProbe probe = VeskTool::probeTable(name);
        return VeskTool::withKind(probe.kind, [&]<class Ops>() -> std::shared_ptr<Table> {
            return std::make_shared<TypedTable<Ops>>(probe, VeskTool::attachReader<Ops>(probe),
                                                     plain);
        });
    });
}

// A new exception class vesk.<name> with bases `bases`, added to the module.
PyObject* addError(py::module_& m, const char* name, const char* doc, py::tuple bases) {
    PyObject* type =
        PyErr_NewExceptionWithDoc(fmt::format("vesk.{}", name).c_str(), doc, bases.ptr(), nullptr);
    if (type == nullptr)
        throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

// ----- the hot calls -----
// t[k], k in t, t.get_many(keys) and t.records() are plain C functions of the class, called by
// the interpreter directly: pybind11's dispatch of a call costs as much as the lookup itself.

// The C++ object of `self`, an instance of the class of T (the method descriptors check that),
// which pybind11 keeps in its instance; TypeError for an instance made by the class's __new__
// alone, which has none.
template <class T>
T& cppOf(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    // A class with one C++ type and a holder of pointer size keeps the value's pointer in the
    // instance itself (pybind11's simple layout): read it there without the general search.
    void* cpp = instance->simple_layout ? instance->simple_value_holder[0]
                                        : instance->get_value_and_holder().value_ptr();
    if (cpp == nullptr)
        throw py::type_error(fmt::format("this {} was not made by vesk", Py_TYPE(self)->tp_name));
    return *static_cast<T*>(cpp);
}

Table& tableOf(PyObject* self) {
    return cppOf<Table>(self);
}

// Runs f, which returns a py::object, as a C function answers: a new reference, or null with the
// Python error that f's exception means set.
template <class F>
PyObject* answer(F&& f) noexcept {
    try {
        return f().release().ptr();
    } catch (...) {
        try {
            py::detail::translate_exception(std::current_exception());
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "vesk: an unknown C++ exception");
        }
        return nullptr;
    }
}

PyObject* getItem(PyObject* self, PyObject* key) {
    return answer([&] {
        const uint64_t k = toKey(key);
        py::object r = tableOf(self).get(k);
        if (r.is_none()) {
            PyErr_SetObject(PyExc_KeyError, py::int_(k).ptr());
            throw py::error_already_set();
        }
        return r;
    });
}

PyObject* contains(PyObject* self, PyObject* key) {
    return answer([&] { return py::bool_(!tableOf(self).get(toKey(key)).is_none()); });
}

// `key in t` as the class's slot calls it: 1, 0, or -1 with the error set.
int containsSlot(PyObject* self, PyObject* key) {
    const py::object found = py::reinterpret_steal<py::object>(contains(self, key));
    return found ? found.ptr() == Py_True : -1;
}

// get_many(keys): the one argument, by position or by name.
PyObject* getMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* names) {
    return answer([&] {
        const Py_ssize_t named = names == nullptr ? 0 : PyTuple_GET_SIZE(names);
        if (nargs + named != 1 ||
            (named == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, 0), "keys")))
            throw py::type_error("get_many() takes one argument, keys");
        const py::object keys = py::reinterpret_steal<py::object>(
            PySequence_Fast(args[0], "get_many() takes an iterable of keys"));
        if (!keys)
            throw py::error_already_set();
        std::vector<uint64_t> k;
        k.reserve(size_t(PySequence_Fast_GET_SIZE(keys.ptr())));
        // Each key held while it is converted: an error's text may run Python code.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(keys.ptr()); ++i)
            k.push_back(
                toKey(py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(keys.ptr(), i))));
        return tableOf(self).getMany(k);
    });
}

PyObject* records(PyObject* self, PyObject*) {
    return answer([&] { return tableOf(self).records(); });
}

PyObject* nextRecord(PyObject* self, PyObject*) {
    return answer([&] { return cppOf<Cursor>(self).next(); });
}

PyObject* nextSlot(PyObject* self) {
    return nextRecord(self, nullptr);
}

// Adds the C function `def` (static: the class keeps pointing at it) to the class `cls`.
void addMethod(py::handle cls, PyMethodDef& def) {
    PyObject* method = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def);
    if (method == nullptr)
        throw py::error_already_set();
    cls.attr(def.ml_name) = py::reinterpret_steal<py::object>(method);
}

PyMethodDef gMethods[] = {
    {"__getitem__", getItem, METH_O, "The record of the key; KeyError when absent."},
    {"__contains__", contains, METH_O, "Whether the table has a record of the key."},
    {"get_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getMany)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, /, keys)\n--\n\nThe record of each key, or None, from batched lookups."},
    {"records", records, METH_NOARGS,
     "records($self, /)\n--\n\nEvery record, by one slot-order scan of the table."},
};
PyMethodDef gNext = {"__next__", nextRecord, METH_NOARGS, "The next record in table order."};

}  // namespace VeskPython

PYBIND11_MODULE(vesk, m) {
    using namespace VeskPython;
    m.doc() =
        "Read-only access to live vesk tables.\n\n"
        "A table is read with the library's lock-free reader: the writer is never blocked or "
        "locked, and every record returned is a whole, consistent copy.\n\n"
        "    import vesk\n"
        "    t = vesk.open('port/counter')          # record type found from the files\n"
        "    t[7], 7 in t, len(t), t.fields\n"
        "    for r in t: print(r.key, r)          # table order\n"
        "    t.records(), t.get_many([1, 2, 3]), t.stat()\n"
        "    p = vesk.open('port/counter', plain=True)  # records as plain tuples\n\n"
        "Errors are vesk.Error, or its subclasses NoSuchTable (also FileNotFoundError), "
        "PermissionDenied (also PermissionError), NotATable and Corrupt; each carries the "
        "one-line reason as its message and the attributes `table` and `reason`.\n\n"
        "A table removed and made again is read anew from the first call after the next tick of "
        "the coarse clock (a few ms): its files' identity is looked at once per tick, so a call "
        "within the tick of the last look may still answer from the removed files.\n\n"
        "The GIL stays held while a reader runs: a reader serves one thread at a time, so "
        "Python threads reading tables take turns.";

    gErrors.base = addError(m, "Error", "A table could not be read; the message says why.",
                            py::make_tuple(py::handle(PyExc_Exception)));
    const py::handle base(gErrors.base);
    gErrors.noSuchTable =
        addError(m, "NoSuchTable", "The table does not exist or has no files yet.",
                 py::make_tuple(base, py::handle(PyExc_FileNotFoundError)));
    gErrors.permissionDenied =
        addError(m, "PermissionDenied", "This user may not read the table's files.",
                 py::make_tuple(base, py::handle(PyExc_PermissionError)));
    gErrors.notATable =
        addError(m, "NotATable", "The files are not a table's.", py::make_tuple(base));
    gErrors.corrupt =
        addError(m, "Corrupt", "The table's files are damaged.", py::make_tuple(base));

    const py::object iterator =
        py::class_<Cursor>(m, "_Iterator").def("__iter__", [](py::object self) { return self; });
    addMethod(iterator, gNext);

    py::class_<Table, std::shared_ptr<Table>>(m, "Table", "A table opened for reading (vesk.open).")
        .def_property_readonly("name", &Table::name, "The table's name under its root.")
        .def_property_readonly("type", &Table::type, "The record type: simple, normal, ...")
        .def_property_readonly("root", &Table::root, "The root the table was opened under.")
        .def_property_readonly("fields", &Table::fields, "The record's field names, key first.")
        .def("__len__", &Table::size, "The number of records, as the writer counts them.")
        .def("__iter__", &Table::cursor, py::keep_alive<0, 1>(),
             "Every record in table order, read up to 256 ahead; vesk.Error when the table is "
             "re-formatted meanwhile.")
        .def("stat", &Table::stat,
             "The table's counts, writer and generation, and this reader's counters.")
        .def("__repr__", &Table::repr);

    const py::object table = m.attr("Table");
    for (PyMethodDef& def : gMethods)
        addMethod(table, def);
    // The slots of t[k], k in t and next() call the C functions themselves: the slots that
    // setting the methods made would look each method up by name at every call.
    auto* tableType = reinterpret_cast<PyHeapTypeObject*>(table.ptr());
    tableType->as_mapping.mp_subscript = getItem;
    tableType->as_sequence.sq_contains = containsSlot;
    PyType_Modified(&tableType->ht_type);
    auto* iteratorType = reinterpret_cast<PyTypeObject*>(iterator.ptr());
    iteratorType->tp_iternext = nextSlot;
    PyType_Modified(iteratorType);

    m.def("tables", &tables, py::arg("root") = py::none(),
          "The names of the tables under the root (the default root when None), sorted.");
    m.def("open", &open, py::arg("name"), py::arg("root") = py::none(), py::kw_only(),
          py::arg("plain") = false,
          "Opens the table `name` under the root (the default root when None) for reading. "
          "Its records are named tuples of its record type (SimpleRecord, ...), or with "
          "plain=True plain tuples, their items in the order of the table's `fields`, which are "
          "cheaper to make.");
}
