// Nebo::Local: the process-local growable array (per-slot marks of the writer's validation).
#include "Nebo/Interface.h"
#include "Nebo/Local.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

using Marks = Nebo::Local<bool>;

// A wide element: a heap region then holds exactly the elements asked for.
using Wide = std::array<uint64_t, 4>;

TEST(NeboLocal, DefaultStoreIsEmptyWithRoomForOne) {
    Marks marks;
    EXPECT_EQ(marks.members(), 0u);
    EXPECT_GE(marks.capacity(), 1u);
    EXPECT_NE(marks.data(), nullptr);
    EXPECT_FALSE(std::as_const(marks).get(0));
    EXPECT_FALSE(marks.front());
    EXPECT_FALSE(marks.back());
    EXPECT_EQ(marks.growthFactor(), 2.0f);
    EXPECT_EQ(marks.mode(), 0u);
    EXPECT_EQ(marks.mountStatus(), 0u);
    EXPECT_TRUE(marks.cinderId().isNone());
}

TEST(NeboLocal, NamesItselfAfterTheElementTypeAndCreatesNoDirectory) {
    Marks marks;
    EXPECT_EQ(marks.debugClass(), "Nebo::Local<bool>");
    EXPECT_EQ(marks.debugHandler().name(), "Nebo::Local<bool>");
    EXPECT_EQ(&marks.debugHandler(), Pimbo::Platform::getDebugHandler("Nebo::Local<bool>").get());
    const Nebo::RootPath root = marks.rootPath();
    EXPECT_EQ(root.directory(), "/var/shmem/vesk");
    EXPECT_FALSE(root.mayCreate());
}

TEST(NeboLocal, FilledConstructorSetsEveryElement) {
    Marks marks(5, true);
    EXPECT_EQ(marks.members(), 5u);
    for (unsigned i = 0; i < 5; ++i) {
        EXPECT_TRUE(std::as_const(marks).get(i)) << i;
    }
    EXPECT_FALSE(std::as_const(marks).get(5)) << "beyond the store: a default value";
    EXPECT_FALSE(std::as_const(marks).get(std::numeric_limits<unsigned>::max()));
    EXPECT_TRUE(marks.front());
    EXPECT_TRUE(marks.back());

    Marks none(0, true);
    EXPECT_EQ(none.members(), 0u);
    EXPECT_EQ(none.capacity(), 0u);
    EXPECT_EQ(none.data(), nullptr);
    EXPECT_FALSE(none.back());
}

TEST(NeboLocal, PushOnAFullStoreGrowsAndKeepsTheElements) {
    Marks marks;
    const uint32_t first = marks.capacity();
    std::vector<bool> expected;
    for (uint32_t i = 0; i <= first; ++i) {
        const bool v = (i % 3) == 0 || (i % 7) == 2;
        marks.push(v);
        expected.push_back(v);
    }
    EXPECT_EQ(marks.members(), first + 1);
    EXPECT_GE(marks.capacity(), 2 * first);
    for (uint32_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(std::as_const(marks).get(i), expected[i]) << "element " << i;
    }
    EXPECT_EQ(marks.back(), expected.back());
}

TEST(NeboLocal, GrowthDoublesFromAnEmptyStore) {
    // Room for exactly the elements asked for: capacities show the growth steps.
    Nebo::Local<Wide> store(0, Wide{});
    store.useHeapIs(true);
    EXPECT_EQ(store.capacity(), 0u);
    std::vector<uint32_t> capacities;
    for (uint64_t i = 0; i < 9; ++i) {
        store.push(Wide{i, i + 1, i + 2, i + 3});
        capacities.push_back(store.capacity());
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{1, 2, 4, 4, 8, 8, 8, 8, 16}));
    for (uint64_t i = 0; i < 9; ++i) {
        EXPECT_EQ(std::as_const(store).get(unsigned(i)), (Wide{i, i + 1, i + 2, i + 3}));
    }

    // A bool store grown from nothing has at least one element's room at once.
    Marks marks(0, false);
    marks.push(true);
    EXPECT_EQ(marks.members(), 1u);
    EXPECT_GE(marks.capacity(), 1u);
    EXPECT_TRUE(marks.front());
}

TEST(NeboLocal, CapacityIsSetsTheSizeWithDefaultElements) {
    Marks marks(4, true);
    marks.capacityIs(10);
    EXPECT_EQ(marks.members(), 10u);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_TRUE(std::as_const(marks).get(i)) << i;
    }
    for (unsigned i = 4; i < 10; ++i) {
        EXPECT_FALSE(std::as_const(marks).get(i)) << i;
    }

    const uint32_t capacity = marks.capacity();
    marks.capacityIs(2);
    EXPECT_EQ(marks.members(), 2u);
    EXPECT_EQ(marks.capacity(), capacity) << "shrinking keeps the room";
    EXPECT_TRUE(marks.back());

    // Elements that were true before a shrink come back false.
    marks.capacityIs(10);
    for (unsigned i = 2; i < 10; ++i) {
        EXPECT_FALSE(std::as_const(marks).get(i)) << i;
    }

    marks.capacityIs(0);
    EXPECT_EQ(marks.members(), 0u);
    EXPECT_FALSE(marks.front());
    EXPECT_FALSE(marks.back());

    // Beyond the current room the store grows to hold exactly that many.
    Nebo::Local<Wide> wide(2, Wide{1, 1, 1, 1});
    wide.useHeapIs(true);
    wide.capacityIs(1000);
    EXPECT_GE(wide.capacity(), 1000u);
    EXPECT_EQ(std::as_const(wide).get(1), (Wide{1, 1, 1, 1}));
    EXPECT_EQ(std::as_const(wide).get(999), Wide{});
}

TEST(NeboLocal, WriteInsideTheStoreAndRefuseOutside) {
    Marks marks(5, false);
    marks.write(4, true);
    EXPECT_TRUE(marks.back());
    *marks.get(2) = true;
    EXPECT_TRUE(std::as_const(marks).get(2));
    EXPECT_EQ(marks.get(0), marks.data());

    try {
        marks.write(5, true);
        FAIL() << "wrote past the end";
    } catch (const Pimbo::OutOfRangeException& e) {
        EXPECT_EQ(e.msg(), "index:5 out-of-range, size:5");
    }
    EXPECT_EQ(marks.members(), 5u);
    EXPECT_FALSE(std::as_const(marks).get(5));
    EXPECT_THROW(marks.write(std::numeric_limits<unsigned>::max(), true),
                 Pimbo::OutOfRangeException);
}

TEST(NeboLocal, PopShortensTheStore) {
    Marks marks(3, false);
    marks.write(1, true);
    marks.pop();
    EXPECT_EQ(marks.members(), 2u);
    EXPECT_TRUE(marks.back());
    marks.pop();
    marks.pop();
    EXPECT_EQ(marks.members(), 0u);
    EXPECT_FALSE(marks.back());
}

TEST(NeboLocalDeathTest, PopOnAnEmptyStoreStops) {
    Marks marks(0, false);
    EXPECT_DEATH(marks.pop(), "class:Nebo::Local<bool> .*pop on an empty store");
}

TEST(NeboLocal, SwitchingToHeapKeepsTheElements) {
    Marks marks(100, false);
    for (unsigned i = 0; i < 100; i += 3) {
        marks.write(i, true);
    }
    marks.useHeapIs(true);
    EXPECT_EQ(marks.members(), 100u);
    EXPECT_GE(marks.capacity(), 100u);
    for (unsigned i = 0; i < 100; ++i) {
        ASSERT_EQ(std::as_const(marks).get(i), i % 3 == 0) << i;
    }
    marks.push(true);
    EXPECT_EQ(marks.members(), 101u);
}

TEST(NeboLocal, MovingHandsTheElementsOver) {
    Marks marks(3, true);
    marks = Marks(10, false);
    marks.write(9, true);
    EXPECT_EQ(marks.members(), 10u);
    EXPECT_FALSE(std::as_const(marks).get(0));
    EXPECT_TRUE(marks.back());

    Marks moved(std::move(marks));
    EXPECT_EQ(moved.members(), 10u);
    EXPECT_TRUE(moved.back());
    moved.push(true);
    EXPECT_EQ(moved.members(), 11u);
}

TEST(NeboLocal, FailedGrowthThrowsAndLeavesTheStoreUsable) {
    // 4 KiB elements: 2^31 of them exceed the largest region.
    using Page = std::array<char, 4096>;
    Page marked{};
    marked[0] = 'x';
    Nebo::Local<Page> store(2, marked);
    const Page* before = store.data();
    const uint32_t capacity = store.capacity();

    std::vector<std::string> traced;
    Pimbo::Platform::traceSinkIs([&](const Pimbo::Platform::TraceRecord& r) {
        if (r.level == 0) {
            traced.push_back(std::string(r.className) + " " + std::string(r.message));
        }
    });
    try {
        store.capacityIs(1u << 31);
        ADD_FAILURE() << "a region of 8 TiB was granted";
    } catch (const Pimbo::MemoryResourceException& e) {
        EXPECT_EQ(e.msg(), "n:2147483648 unable to resize");
    }
    Pimbo::Platform::traceSinkIs({});
    ASSERT_FALSE(traced.empty());
    EXPECT_EQ(traced[0].rfind("Local n:2147483648 unable to resize", 0), 0u) << traced[0];

    EXPECT_EQ(store.members(), 2u);
    EXPECT_EQ(store.capacity(), capacity);
    EXPECT_EQ(store.data(), before);
    EXPECT_EQ(std::as_const(store).get(1), marked);
    store.push(marked);
    EXPECT_EQ(store.members(), 3u);
    EXPECT_EQ(store.back(), marked);
}

// --- the read-only defaults of the interface -------------------------------------------------

// A store that overrides only what the interface leaves abstract.
class ReadOnlyMarks : public Nebo::Interface<bool> {
  public:
    const bool* data() const override { return values_; }
    Nebo::RootPath rootPath() const override {
        return Nebo::RootPath(*Pimbo::Platform::getDebugHandler("NeboLocalTest"), "ro", false);
    }
    uint32_t mode() const override { return 1; }
    Plinth::CinderId cinderId() const override { return Plinth::CinderId(); }
    uint32_t mountStatus() const override { return 0; }
    void push(const bool&) override {}
    void pop() override {}
    bool get(unsigned i) const override { return i < 2 && values_[i]; }
    bool front() const override { return values_[0]; }
    bool back() const override { return values_[1]; }
    uint32_t members() const override { return 2; }
    void capacityIs(unsigned) override {}

  private:
    bool values_[2] = {true, false};
};

TEST(NeboInterface, WriteSideDefaultsRefuseAsReadOnly) {
    ReadOnlyMarks marks;
    Nebo::Interface<bool>& store = marks;
    auto expectReadOnly = [](auto&& operation, const char* name) {
        try {
            operation();
            ADD_FAILURE() << name << " did not refuse";
        } catch (const Pimbo::NoPermissionException& e) {
            EXPECT_EQ(e.msg(), "read-only Nebo") << name;
        }
    };
    expectReadOnly([&] { store.data(); }, "data()");
    expectReadOnly([&] { store.cleanup(); }, "cleanup()");
    expectReadOnly([&] { store.get(0u); }, "get(i)");
    expectReadOnly([&] { store.write(0, true); }, "write(i, v)");
    EXPECT_TRUE(std::as_const(store).get(0));
    EXPECT_NE(std::as_const(store).data(), nullptr);

    // A local store writes, but cleanup stays the interface's refusal.
    Marks local;
    expectReadOnly([&] { local.cleanup(); }, "Local::cleanup()");
}

}  // namespace
