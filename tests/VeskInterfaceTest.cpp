// Tests of the map interface defaults and of the two placeholders, VeskDummy and
// VeskStrictDummy, over the four record types.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Mem/RootPath.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Vesk/VeskInterface.h"

namespace {

using namespace DravoCounters::FlexCounters2;
using Pimbo::Platform::TraceRecord;

constexpr const char* kHandlerName = "VeskInterfaceTest";
constexpr const char* kTable = "VeskInterfaceTest/counter";
constexpr const char* kOrphanSuffix =
    ". If you're seeing this, you're trying to operate on an orphan vesk entity";

// What a test double saw; shared with the test so it outlives the double.
struct CallLog {
    int lookups = 0;
    int writes = 0;
    int removes = 0;
    int directWrites = 0;
    int directUpdates = 0;
    int directCommits = 0;
    int cleanups = 0;
    int deletions = 0;
    bool cleanupResult = false;

    int mutations() const {
        return writes + removes + directWrites + directUpdates + directCommits;
    }
};

// A non-writer implementation that keeps every default of VeskInterface: it holds one record
// and reports it found.
template <class Ops>
class ReadOnlyImpl : public Vesk::VeskInterface<Ops> {
  public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    ReadOnlyImpl(const Ops& ops, CallLog& log, const Value& stored)
        : Vesk::VeskInterface<Ops>(ops), log_(log), stored_(stored) {}
    ~ReadOnlyImpl() override { ++log_.deletions; }

    bool initialize(const std::string&) override { return true; }
    void detach(bool) override {}
    bool cleanup() override {
        ++log_.cleanups;
        return log_.cleanupResult;
    }
    uint32_t members() override { return 1; }
    uint32_t buckets() override { return 1; }
    uint32_t minSize() override { return 1; }
    uint32_t maxSize() override { return 1; }
    uint32_t capacity() override { return 1; }
    Vesk::VeskType type() override { return Vesk::VeskType::reader; }
    Vesk::RootPath rootPath() override {
        return Vesk::RootPath(*Pimbo::Platform::getDebugHandler(kHandlerName), "impl", false);
    }
    std::string veskName() override { return "impl/counter"; }
    Vesk::MountStatus mountStatus() override { return 1; }
    bool validateVersionAnchor() override { return true; }
    const Value* lookup(const Key& key, bool& found, void*) override {
        ++log_.lookups;
        found = key == stored_.key();
        return found ? &stored_ : &this->defaultValue();
    }
    bool first(Value& out, Vesk::IterHint&) override {
        out = stored_;
        return true;
    }
    bool next(const Key&, Value&, Vesk::IterHint&) override { return false; }

  protected:
    CallLog& log_;
    Value stored_;
};

// A writer stand-in: accepts every mutation and counts it. Wrapped by a placeholder, it shows
// whether the placeholder forwarded anything it should have refused.
template <class Ops>
class WritableImpl : public ReadOnlyImpl<Ops> {
  public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using ReadOnlyImpl<Ops>::ReadOnlyImpl;

    const Value* write(const Value& v, bool) override {
        ++this->log_.writes;
        this->stored_ = v;
        return &this->stored_;
    }
    bool remove(const Key&, Value& removed) override {
        ++this->log_.removes;
        removed = this->stored_;
        return true;
    }
    Value* directWrite(const Value&) override {
        ++this->log_.directWrites;
        return &this->stored_;
    }
    Value* directUpdate(const Key&) override {
        ++this->log_.directUpdates;
        return &this->stored_;
    }
    void directCommit() override { ++this->log_.directCommits; }
};

// Escapes text for a POSIX extended regular expression.
std::string regexEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".[]{}()*+?^$|\\", c) != nullptr) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// The assertion line of a VeskStrictDummy operation, as a death-test pattern.
std::string strictAssertion(const std::string& function, const std::string& message) {
    return regexEscape(
               "assertion failed: class:VeskStrictDummy source:Vesk/VeskInterface.h "
               "function:" +
               function + " line:") +
           "[0-9]+" + regexEscape(" message:" + message);
}

struct Trace {
    unsigned level;
    std::string className;
    std::string file;
    std::string function;
    std::string message;
};

template <class OpsT>
class VeskInterfaceTest : public ::testing::Test {
  protected:
    using Ops = OpsT;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    void SetUp() override {
        handler_ = Pimbo::Platform::getDebugHandler(kHandlerName);
        savedMask_ = handler_->levelMask();
        handler_->levelMaskIs(uint16_t(1u | (1u << 5)));
        Pimbo::Platform::traceSinkIs([this](const TraceRecord& r) {
            if (r.handler == kHandlerName) {
                traces_.push_back({r.level, std::string(r.className), std::string(r.file),
                                   std::string(r.function), std::string(r.message)});
            }
        });
    }
    void TearDown() override {
        Pimbo::Platform::traceSinkIs({});
        handler_->levelMaskIs(savedMask_);
    }

    std::unique_ptr<Vesk::VeskDummy<Ops>> dummy(Vesk::VeskInterface<Ops>* wrapped = nullptr) {
        return std::make_unique<Vesk::VeskDummy<Ops>>(*handler_, kTable, ops_, wrapped, false);
    }
    std::unique_ptr<Vesk::VeskStrictDummy<Ops>> strict(
        Vesk::VeskInterface<Ops>* wrapped = nullptr) {
        return std::make_unique<Vesk::VeskStrictDummy<Ops>>(*handler_, kTable, ops_, wrapped, false,
                                                            kOrphanSuffix);
    }
    WritableImpl<Ops>* writable(CallLog& log) { return new WritableImpl<Ops>(ops_, log, stored()); }
    // A record that differs from the default one.
    static Value stored() { return Value(CounterIndex(0xfeed)); }

    // (function, message) of the traces seen so far, and forgets them.
    std::vector<std::pair<std::string, std::string>> takeTraces(const char* className) {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& t : traces_) {
            EXPECT_EQ(t.level, 5u) << t.function;
            EXPECT_EQ(t.className, className) << t.function;
            EXPECT_EQ(t.file, "Vesk/VeskInterface.h") << t.function;
            out.emplace_back(t.function, t.message);
        }
        traces_.clear();
        return out;
    }

    std::string rootDir() const { return Mem::RootPath::root() + "/" + kTable; }

    std::shared_ptr<Pimbo::Platform::DebugHandler> handler_;
    uint16_t savedMask_ = 0;
    std::vector<Trace> traces_;
    Ops ops_;
};

using OpsTypes = ::testing::Types<CounterEntrySimpleOps, CounterEntryNormalOps, CounterEntryWideOps,
                                  CounterEntryBitmap64Ops>;
// Names the typed cases after the record ("VeskInterfaceTest/CounterEntrySimple.…").
struct RecordName {
    template <class Ops>
    static std::string GetName(int) {
        const std::string full = Ops::typeName();
        return full.substr(full.rfind(':') + 1);
    }
};
TYPED_TEST_SUITE(VeskInterfaceTest, OpsTypes, RecordName);

// ---------------------------------------------------------------------------------------------
// Interface defaults

TYPED_TEST(VeskInterfaceTest, ReadOnlyImplementationRefusesEveryMutation) {
    using Value = typename TestFixture::Value;
    CallLog log;
    ReadOnlyImpl<TypeParam> impl(this->ops_, log, this->stored());
    const Value v(CounterIndex(7));
    Value removed = this->stored();

    auto expectRefused = [](auto&& call, const std::string& message, const char* function) {
        try {
            call();
            ADD_FAILURE() << function << " was not refused";
        } catch (const Pimbo::NoPermissionException& e) {
            EXPECT_EQ(e.msg(), message);
            EXPECT_STREQ(e.file(), "Vesk/VeskInterface.h");
            EXPECT_STREQ(e.function(), function);
        }
    };
    const std::string value = fmt::format("{}", v);
    expectRefused([&] { impl.write(v, true); },
                  "write to read-only Vesk table impl/counter value:" + value, "write");
    expectRefused([&] { impl.remove(v.key(), removed); },
                  "remove to read-only Vesk table impl/counter key: 7", "remove");
    expectRefused([&] { impl.directWrite(v); },
                  "write to read-only Vesk table impl/counter value:" + value, "directWrite");
    expectRefused([&] { impl.directUpdate(v.key()); },
                  "write to read-only Vesk table impl/counter key: 7", "directUpdate");
    expectRefused([&] { impl.directCommit(); }, "write to read-only Vesk table impl/counter",
                  "directCommit");
    EXPECT_EQ(removed, this->stored());
    bool found = false;
    EXPECT_EQ(*impl.lookup(this->stored().key(), found, nullptr), this->stored());
}

TYPED_TEST(VeskInterfaceTest, DirectLookupAnswersAsLookup) {
    using Value = typename TestFixture::Value;
    CallLog log;
    ReadOnlyImpl<TypeParam> impl(this->ops_, log, this->stored());
    Vesk::VeskInterface<TypeParam>& iface = impl;
    alignas(Value) std::array<unsigned char, sizeof(Value)> buffer{};

    bool found = false;
    const Value* hit = iface.directLookup(this->stored().key(), found, buffer.data());
    EXPECT_TRUE(found);
    bool lookupFound = false;
    EXPECT_EQ(hit, iface.lookup(this->stored().key(), lookupFound, buffer.data()));
    EXPECT_TRUE(lookupFound);

    found = true;
    const Value* miss = iface.directLookup(CounterIndex(1), found, buffer.data());
    EXPECT_FALSE(found);
    EXPECT_EQ(miss, &iface.defaultValue());
    EXPECT_EQ(log.lookups, 3);
}

// ---------------------------------------------------------------------------------------------
// VeskDummy

TYPED_TEST(VeskInterfaceTest, DummyAnswersAsAnEmptyUnmountedReader) {
    auto d = this->dummy();
    EXPECT_TRUE(d->initialize("none"));
    d->detach(true);
    EXPECT_TRUE(d->validate());
    EXPECT_TRUE(d->validateFiles());
    EXPECT_FALSE(d->cleanup());
    EXPECT_EQ(d->members(), 0u);
    EXPECT_EQ(d->buckets(), 0u);
    EXPECT_EQ(d->minSize(), 0u);
    EXPECT_EQ(d->maxSize(), 0u);
    EXPECT_EQ(d->capacity(), 0u);
    EXPECT_EQ(d->type(), Vesk::VeskType::reader);
    EXPECT_EQ(d->mountStatus(), 0u);
    EXPECT_EQ(d->readerCounters().toString(), Vesk::Reader::Counters().toString());
    EXPECT_EQ(d->rootPath().directory(), this->rootDir());
    EXPECT_FALSE(d->rootPath().mayCreate());
    EXPECT_EQ(d->veskName(), kTable);
    // Base defaults for everything the placeholder does not answer itself.
    EXPECT_FALSE(d->quiesced());
    EXPECT_FALSE(d->connected());
    EXPECT_TRUE(d->cinderId().isNone());
}

TYPED_TEST(VeskInterfaceTest, DummyTracesEveryOperationAtLevel5) {
    using Value = typename TestFixture::Value;
    auto d = this->dummy();
    Value out;
    Vesk::IterHint hint;
    bool found;
    d->initialize("reader-sentry");
    d->detach(false);
    d->validate();
    d->validateFiles();
    d->cleanup();
    d->members();
    d->buckets();
    d->minSize();
    d->maxSize();
    d->capacity();
    d->type();
    d->readerCounters();
    d->rootPath();
    d->veskName();
    d->mountStatus();
    d->lookup(CounterIndex(3), found, nullptr);
    d->first(out, hint);
    d->next(CounterIndex(3), out, hint);
    d->directLookup(CounterIndex(3), found, nullptr);

    const std::string n = kTable;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"initialize", n + " event:reader-sentry"},
        {"detach", n},
        {"validate", n},
        {"validateFiles", n},
        {"cleanup", n},
        {"members", n},
        {"buckets", n},
        {"minSize", n},
        {"maxSize", n},
        {"capacity", n},
        {"type", n},
        {"readerCounters", n},
        {"mountStatus", n},
        {"lookup", n},
        {"first", n},
        {"next", n},
        {"first", n},   // next answers as first does
        {"lookup", n},  // directLookup goes through lookup
    };
    EXPECT_EQ(this->takeTraces("VeskDummy"), expected);

    // Level 5 off: the same calls are silent.
    this->handler_->levelMaskIs(uint16_t(~(1u << 5)));
    d->members();
    d->lookup(CounterIndex(3), found, nullptr);
    d->next(CounterIndex(3), out, hint);
    EXPECT_TRUE(this->traces_.empty());
}

TYPED_TEST(VeskInterfaceTest, DummyLookupFindsNothingAndPointsAtOneZeroRecord) {
    using Value = typename TestFixture::Value;
    auto d = this->dummy();
    alignas(Value) std::array<unsigned char, sizeof(Value)> buffer;
    buffer.fill(0xab);

    bool found = true;
    const Value* first = d->lookup(CounterIndex(5), found, buffer.data());
    EXPECT_FALSE(found);
    ASSERT_NE(first, nullptr);
    const std::array<unsigned char, sizeof(Value)> zero{};
    EXPECT_EQ(std::memcmp(first, zero.data(), sizeof(Value)), 0);
    EXPECT_EQ(*first, Value());

    found = true;
    EXPECT_EQ(d->lookup(CounterIndex(5), found, buffer.data()), first);
    EXPECT_FALSE(found);
    found = true;
    EXPECT_EQ(d->directLookup(CounterIndex(0), found, buffer.data()), first);
    EXPECT_FALSE(found);
    EXPECT_EQ(first, &d->defaultValue());
    for (unsigned char c : buffer) {
        EXPECT_EQ(c, 0xab);  // the caller's buffer is not needed and not touched
    }
}

// The placeholder keeps its own copy of the bundle: its default record outlives the caller's.
TYPED_TEST(VeskInterfaceTest, DummyCopiesTheOperationsBundle) {
    using Value = typename TestFixture::Value;
    std::unique_ptr<Vesk::VeskDummy<TypeParam>> d;
    {
        TypeParam ops;
        ops.defaultValue = Value(CounterIndex(0x77));
        d = std::make_unique<Vesk::VeskDummy<TypeParam>>(*this->handler_, kTable, ops, nullptr,
                                                         false);
        ops.defaultValue = Value(CounterIndex(0x88));
    }
    bool found = true;
    EXPECT_EQ(*d->lookup(CounterIndex(1), found, nullptr), Value(CounterIndex(0x77)));
}

TYPED_TEST(VeskInterfaceTest, DummyIterationLeavesTheDefaultRecord) {
    using Value = typename TestFixture::Value;
    auto d = this->dummy();
    const Vesk::IterHint start{9, 8, 7};

    Value out = this->stored();
    Vesk::IterHint hint = start;
    EXPECT_FALSE(d->first(out, hint));
    EXPECT_EQ(out, Value());
    EXPECT_EQ(hint, start);

    out = this->stored();
    EXPECT_FALSE(d->next(this->stored().key(), out, hint));
    EXPECT_EQ(out, Value());
    EXPECT_EQ(hint, start);
}

TYPED_TEST(VeskInterfaceTest, DummyRefusesToVouchForAVersionAnchor) {
    auto d = this->dummy();
    try {
        d->validateVersionAnchor();
        ADD_FAILURE() << "a placeholder vouched for an anchor";
    } catch (const Mem::VersionMismatchException& e) {
        EXPECT_EQ(e.msg().rfind(
                      "should never be called since it's impossible for a lookup to succeed", 0),
                  0u)
            << e.msg();
        EXPECT_NE(e.msg().find(kTable), std::string::npos) << e.msg();
        EXPECT_STREQ(e.function(), "validateVersionAnchor");
    }
}

// ---------------------------------------------------------------------------------------------
// Both placeholders: refusals, cleanup and ownership

TYPED_TEST(VeskInterfaceTest, PlaceholdersRefuseMutationsAndForwardNone) {
    using Value = typename TestFixture::Value;
    CallLog log;
    auto quiet = this->dummy(this->writable(log));
    auto loud = this->strict(this->writable(log));
    std::vector<Vesk::VeskInterface<TypeParam>*> placeholders = {quiet.get(), loud.get()};

    const Value v(CounterIndex(7));
    for (auto* p : placeholders) {
        Value removed = this->stored();
        EXPECT_THROW(p->write(v, true), Pimbo::NoPermissionException);
        EXPECT_THROW(p->write(v, false), Pimbo::NoPermissionException);
        try {
            p->remove(v.key(), removed);
            ADD_FAILURE() << "remove was not refused";
        } catch (const Pimbo::NoPermissionException& e) {
            EXPECT_EQ(e.msg(), fmt::format("remove to read-only Vesk table {} key: 7", kTable));
        }
        EXPECT_EQ(removed, this->stored());
        EXPECT_THROW(p->directWrite(v), Pimbo::NoPermissionException);
        EXPECT_THROW(p->directUpdate(v.key()), Pimbo::NoPermissionException);
        try {
            p->directCommit();
            ADD_FAILURE() << "directCommit was not refused";
        } catch (const Pimbo::NoPermissionException& e) {
            EXPECT_EQ(e.msg(), fmt::format("write to read-only Vesk table {}", kTable));
        }
    }
    EXPECT_EQ(log.mutations(), 0);
    EXPECT_EQ(log.lookups, 0);
    // The wrapped writers still hold what they held.
    bool found = false;
    auto* wrapped = quiet->wrapped();
    EXPECT_EQ(*wrapped->lookup(this->stored().key(), found, nullptr), this->stored());
    EXPECT_TRUE(found);
}

TYPED_TEST(VeskInterfaceTest, CleanupIsForwardedToTheWrappedImplementation) {
    CallLog log;
    auto quiet = this->dummy(this->writable(log));
    auto loud = this->strict(this->writable(log));

    log.cleanupResult = true;
    EXPECT_TRUE(quiet->cleanup());
    EXPECT_TRUE(loud->cleanup());
    log.cleanupResult = false;
    EXPECT_FALSE(quiet->cleanup());
    EXPECT_FALSE(loud->cleanup());
    EXPECT_EQ(log.cleanups, 4);

    EXPECT_FALSE(this->dummy()->cleanup());
    EXPECT_FALSE(this->strict()->cleanup());
}

TYPED_TEST(VeskInterfaceTest, DeletingAPlaceholderDeletesItsWrappedImplementationOnce) {
    CallLog log;
    auto quiet = this->dummy(this->writable(log));
    auto loud = this->strict(this->writable(log));
    EXPECT_EQ(quiet->wrapped()->veskName(), "impl/counter");
    EXPECT_EQ(log.deletions, 0);
    quiet.reset();
    EXPECT_EQ(log.deletions, 1);
    loud.reset();
    EXPECT_EQ(log.deletions, 2);

    // A chain of placeholders (a table orphaned twice) releases every link once.
    CallLog chainLog;
    std::unique_ptr<Vesk::VeskInterface<TypeParam>> chain =
        this->dummy(this->strict(this->dummy(this->writable(chainLog)).release()).release());
    EXPECT_EQ(chainLog.deletions, 0);
    chain.reset();
    EXPECT_EQ(chainLog.deletions, 1);
}

// ---------------------------------------------------------------------------------------------
// VeskStrictDummy

TYPED_TEST(VeskInterfaceTest, StrictDummyAnswersOnlyHarmlessCalls) {
    auto s = this->strict();
    s->detach(true);
    EXPECT_TRUE(s->validate());
    EXPECT_TRUE(s->validateFiles());
    EXPECT_FALSE(s->cleanup());
    EXPECT_EQ(s->mountStatus(), 0u);  // no trace
    EXPECT_EQ(s->rootPath().directory(), this->rootDir());
    EXPECT_EQ(s->veskName(), kTable);
    EXPECT_EQ(s->suffix(), kOrphanSuffix);

    const std::string n = kTable;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"detach", n}, {"validate", n}, {"validateFiles", n}, {"cleanup", n}};
    EXPECT_EQ(this->takeTraces("VeskStrictDummy"), expected);
}

template <class OpsT>
class VeskStrictDummyDeathTest : public VeskInterfaceTest<OpsT> {};
TYPED_TEST_SUITE(VeskStrictDummyDeathTest, OpsTypes, RecordName);

TYPED_TEST(VeskStrictDummyDeathTest, EveryReadStopsTheProcess) {
    using Value = typename TestFixture::Value;
    auto s = this->strict();
    const std::string where = fmt::format("name:{} rootpath:{}", kTable, this->rootDir());
    const std::string invoked = "invoked, " + where + kOrphanSuffix;
    Value out;
    Vesk::IterHint hint;
    bool found;

    EXPECT_DEATH(s->initialize("none"),
                 strictAssertion("initialize", fmt::format("{} rootPath:{} event:none{}", kTable,
                                                           this->rootDir(), kOrphanSuffix)));
    EXPECT_DEATH(s->members(), strictAssertion("members", invoked));
    EXPECT_DEATH(s->buckets(), strictAssertion("buckets", invoked));
    EXPECT_DEATH(s->minSize(), strictAssertion("minSize", invoked));
    EXPECT_DEATH(s->maxSize(), strictAssertion("maxSize", invoked));
    EXPECT_DEATH(s->capacity(), strictAssertion("capacity", invoked));
    EXPECT_DEATH(s->type(), strictAssertion("type", invoked));
    EXPECT_DEATH(s->readerCounters(), strictAssertion("readerCounters", invoked));
    EXPECT_DEATH(s->validateVersionAnchor(), strictAssertion("validateVersionAnchor", invoked));
    EXPECT_DEATH(s->first(out, hint), strictAssertion("first", invoked));

    const std::string withKey = "invoked, " + where + " key:key: 42" + kOrphanSuffix;
    EXPECT_DEATH(s->lookup(CounterIndex(42), found, nullptr), strictAssertion("lookup", withKey));
    EXPECT_DEATH(s->next(CounterIndex(42), out, hint), strictAssertion("next", withKey));
    EXPECT_DEATH(s->directLookup(CounterIndex(42), found, nullptr),
                 strictAssertion("lookup", withKey));
}

}  // namespace
