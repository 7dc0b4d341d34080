// Damaged tables (support/Damage.h): each inconsistency a crashed or buggy writer can leave is
// named by the full validation, and every walk of the writer that meets it throws
// CorruptionDetectedException instead of looping or following a wild id.
#include "support/Damage.h"

#include "Pimbo/Exception.h"

namespace {

using namespace VeskTest;

// The message of the CorruptionDetectedException that a walk throws; "" when it throws none.
std::string walk(DamagedTable& d, WriterWalk walk) {
    DamagedTable::Ops::Value v;
    Vesk::IterHint hint;
    bool found = false;
    const std::function<void()> walks[] = {
        // in the order of WriterWalk
        [&] { d.w->lookup(CounterIndex(d.probe), found, nullptr); },
        [&] { d.put(d.probe); },
        [&] { d.del(d.probe); },
        [&] { d.w->directUpdate(CounterIndex(d.probe)); },
        [&] { d.w->next(CounterIndex(d.probe), v, hint); },
        [&] { d.w->first(v, hint); },
        [&] { iterateAll(*d.w); },
        [&] { d.puts(d.probe, d.probe + 100); }};
    return thrown<Pimbo::CorruptionDetectedException>(walks[int(walk)]);
}

// The validation's finding: "" when the table validates. It leaves no validator attached.
std::string validation(DamagedTable& d) {
    auto& w = *d.w;
    std::string found = w.validate(w.cinderId(), false) ? "" : w.lastValidationFailure();
    if (w.hashMap().validator() != nullptr || w.notificationWriter().validator() != nullptr)
        found += " (a validator was left attached)";
    return found;
}

// The table runs in a child: a walk that lost its bound hangs there and is reported by the row
// that reached it instead of hanging the test.
TEST(WriterCorruptionProcess, EachDamageIsNamedByValidationAndStopsEveryWalkThatMeetsIt) {
    Child child([](Child& parent) {
        for (const DamageKind& kind : damageKinds()) {
            if (kind.validation == nullptr)
                continue;
            TestRoot root;
            DamagedTable d(kind);
            std::string differed;
            auto check = [&](const char* step, const std::string& got, const char* expected) {
                if (got != d.says(expected))
                    differed += fmt::format("{}: \"{}\" not \"{}\"; ", step, got, d.says(expected));
            };
            check("validate", validation(d), kind.validation);
            for (WriterWalk w : kind.walks)
                check("walk", walk(d, w), kind.thrown ? kind.thrown : kind.validation);
            parent.send(differed.empty() ? "ok" : differed);
        }
        return 0;
    });
    for (const DamageKind& kind : damageKinds()) {
        if (kind.validation == nullptr)
            continue;
        const std::string got = child.receive();
        EXPECT_EQ(got, "ok") << kind.what;
        if (got.empty())
            return;  // the child hangs in a walk without a bound, or died
    }
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
