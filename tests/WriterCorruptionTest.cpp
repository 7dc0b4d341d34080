// Damaged tables (support/Damage.h): each inconsistency a crashed or buggy writer can leave is
// named by the full validation, and every walk of the writer that meets it throws
// CorruptionDetectedException instead of looping or following a wild id.
#include "support/Damage.h"

#include "Pimbo/Exception.h"

namespace {

using namespace VeskTest;

// The message of the CorruptionDetectedException that a walk throws; "" when it throws none.
std::string walk(DamagedTable& d, int bit) {
    DamagedTable::Ops::Value v;
    Vesk::IterHint hint;
    bool found = false;
    const std::function<void()> walks[] = {
        // in the order of Walk's bits, lowest first
        [&] { d.w->lookup(CounterIndex(d.probe), found, nullptr); },
        [&] { d.put(d.probe); },
        [&] { d.del(d.probe); },
        [&] { d.w->directUpdate(CounterIndex(d.probe)); },
        [&] { d.w->next(CounterIndex(d.probe), v, hint); },
        [&] { d.w->first(v, hint); },
        [&] { iterateAll(*d.w); },
        [&] { d.puts(d.probe, d.probe + 100); }};
    return thrown<Pimbo::CorruptionDetectedException>(walks[bit]);
}

// The validation's finding: "" when the table validates.
std::string validation(DamagedTable& d) {
    auto& w = *d.w;
    return w.validate(w.cinderId(), false) ? "" : w.lastValidationFailure();
}

TEST(WriterCorruptionProcess, EachDamageNamedAndStopsWalks) {
    expectEveryKind([](const DamageKind& kind) { return kind.validation != nullptr; },
                    [](const DamageKind& kind, DamagedTable& d) {
                        std::string differed =
                            d.differs("validate", validation(d), kind.validation);
                        for (int w = 0; 1u << w <= Walk::fill; ++w) {
                            if ((kind.walks & 1u << w) != 0)
                                differed += d.differs("walk", walk(d, w),
                                                      kind.thrown ? kind.thrown : kind.validation);
                        }
                        return differed;
                    });
}

}  // namespace
