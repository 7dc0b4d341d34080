// The placeholders VeskDummy and VeskStrictDummy, which stand in for the writer they hold.
#include "support/Tables.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace DravoCounters::FlexCounters2;
using Ops = CounterEntrySimpleOps;
using Value = CounterEntrySimple;
using Interface = Vesk::VeskInterface<Ops>;
constexpr const char* kTable = "VeskInterfaceTest/counter";

// A local writer that accepts every mutation, and counts its cleanups and its deletions.
struct Writer : Vesk::Tmp<Ops> {
    Writer() : Vesk::Tmp<Ops>(*VeskTest::testHandler(), "impl/counter", Ops{}) {
        initialize("none");
    }
    ~Writer() override { ++deletions; }
    bool cleanup() override {
        ++cleanups;
        return cleanupResult;
    }
    static inline int cleanups = 0;
    static inline int deletions = 0;
    static inline bool cleanupResult = false;
};

std::unique_ptr<Interface> dummy(Interface* wrapped) {
    return std::make_unique<Vesk::VeskDummy<Ops>>(*VeskTest::testHandler(), kTable, Ops{}, wrapped,
                                                  false);
}
std::unique_ptr<Interface> strict(Interface* wrapped) {
    return std::make_unique<Vesk::VeskStrictDummy<Ops>>(*VeskTest::testHandler(), kTable, Ops{},
                                                        wrapped, false, " (orphan)");
}

// Each refusal names the placeholder's table and none reaches the writer it holds; cleanup does,
// and the wrapped writer is deleted once, also along a chain (a table orphaned twice).
TEST(VeskInterface, PlaceholdersRefuseMutations) {
    const Value v(CounterIndex(7));
    const std::string table = fmt::format("to read-only Vesk table {}", kTable);
    for (auto& p : {dummy(new Writer), strict(new Writer)}) {
        Value removed = v;
        const std::pair<std::function<void()>, std::string> calls[] = {
            {[&] { p->write(v, true); }, "write " + table + fmt::format(" value:{}", v)},
            {[&] { p->remove(v.key(), removed); }, "remove " + table + " key: 7"},
            {[&] { p->directWrite(v); }, "write " + table + fmt::format(" value:{}", v)},
            {[&] { p->directUpdate(v.key()); }, "write " + table + " key: 7"},
            {[&] { p->directCommit(); }, "write " + table},
        };
        for (const auto& [call, text] : calls) {
            try {
                call();
                ADD_FAILURE() << "accepted: " << text;
            } catch (const Pimbo::NoPermissionException& e) {
                EXPECT_EQ(e.msg(), text);
            }
        }
        EXPECT_EQ(removed, v);
    }
    Writer::cleanups = Writer::deletions = 0;
    for (bool result : {true, false}) {
        Writer::cleanupResult = result;
        EXPECT_EQ(dummy(new Writer)->cleanup(), result);
        EXPECT_EQ(strict(new Writer)->cleanup(), result);
    }
    EXPECT_EQ(Writer::cleanups, 4);
    EXPECT_EQ(Writer::deletions, 4);
    EXPECT_FALSE(dummy(nullptr)->cleanup() || strict(nullptr)->cleanup());
    dummy(strict(dummy(new Writer).release()).release()).reset();
    EXPECT_EQ(Writer::deletions, 5);
}

// The quiet placeholder is an empty, valid, unmounted table to every read; the strict one stops
// at the first read, naming the table, the key and its owner's reason.
TEST(VeskInterfaceDeathTest, PlaceholderReads) {
    const auto p = dummy(nullptr);
    Value out(CounterIndex(9));
    Vesk::IterHint hint;
    bool found = true;
    EXPECT_EQ(p->directLookup(CounterIndex(7), found, nullptr), &p->defaultValue());
    EXPECT_FALSE(found || p->first(out, hint) || p->next(CounterIndex(7), out, hint));
    EXPECT_EQ(out, p->defaultValue());
    EXPECT_EQ(p->mountStatus(), 0u);  // its type() is a reader's
    EXPECT_THROW(p->validateVersionAnchor(), Mem::VersionMismatchException);
    EXPECT_DEATH(strict(nullptr)->lookup(CounterIndex(7), found, nullptr),
                 "invoked, name:VeskInterfaceTest/counter .*key: 7 \\(orphan\\)");
    EXPECT_DEATH(strict(nullptr)->initialize("start"), "event:start \\(orphan\\)");
}

}  // namespace
