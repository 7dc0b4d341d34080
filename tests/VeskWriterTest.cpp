#include "FlexCounters2/FlexCounters2Vesk.h"
#include "TestRoot.h"
#include "Vesk/VeskWriter.h"

#include <gtest/gtest.h>

using namespace DravoCounters::FlexCounters2;

namespace {

using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;

TEST(VeskWriterSmoke, WriteLookupIterateValidate) {
    VeskTest::TestRoot root;
    auto handler = Pimbo::Platform::getDebugHandler("VeskWriterSmoke");
    Vesk::MapDescriptor d(1000);
    d.shrinkSlots = 1;
    d.shrinkBuckets = 1;
    Writer w(*handler, "t/counter", d, Ops{}, "CounterTableSimple");
    ASSERT_TRUE(w.initialize("none"));
    for (uint64_t k = 0; k < 500; ++k) {
        CounterEntrySimple e{CounterIndex(k)};
        e.packetsIs(k * 2);
        w.write(e, true);
    }
    EXPECT_EQ(w.members(), 500u);
    EXPECT_TRUE(w.validate(w.cinderId(), false)) << w.lastValidationFailure();
    bool found = false;
    auto* v = w.lookup(CounterIndex(77), found, nullptr);
    EXPECT_TRUE(found);
    EXPECT_EQ(v->packets(), 154u);
    CounterEntrySimple out;
    Vesk::IterHint hint;
    size_t n = 0;
    for (bool more = w.first(out, hint); more; more = w.next(out.key(), out, hint)) ++n;
    EXPECT_EQ(n, 500u);
    for (uint64_t k = 0; k < 490; ++k) {
        CounterEntrySimple removed;
        EXPECT_TRUE(w.remove(CounterIndex(k), removed));
    }
    EXPECT_EQ(w.members(), 10u);
    EXPECT_TRUE(w.validate(w.cinderId(), false)) << w.lastValidationFailure();
}

}  // namespace
