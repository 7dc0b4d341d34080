// The stand-in runtime where the library relies on it: key hash, types, notifiees, trace mask,
// event loop.
#include "Orlo/Hash.h"
#include "Orlo/Module.h"
#include "Orlo/Notifiee.h"
#include "Pimbo/EventLoop.h"
#include "Pimbo/Fd.h"
#include "support/Harness.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <functional>
#include <tuple>
#include <utility>

namespace {

// Computed independently of the code: a change of any breaks every existing table file.
constexpr std::tuple<uint32_t, uint64_t, uint32_t> kPinned[] = {
    {0x0u, 0x0ull, 0x00000000u},
    {0x0u, 0x1ull, 0x469913f8u},
    {0x1u, 0x0ull, 0x993d6596u},
    {0xdeadbeefu, 0x0123456789abcdefull, 0x4332f20eu},
    {0xffffffffu, 0xffffffffffffffffull, 0xfa3ab81du},
};

TEST(OrloHash, MatchesPinnedValues) {
    for (const auto& [seed, value, hash] : kPinned)
        EXPECT_EQ(Orlo::hashSingleAttr(seed, value), hash) << std::hex << seed << ' ' << value;
}

// One entity type whose parent is the runtime's entity type: a parent chain across modules.
const uint8_t kProbeRecord[16] = {0x40, 0, 0, 0, 0, 0x11, 0, 0, 0xFD, 0xFF, 0, 0, 0, 0, 0, 0};
const Orlo::OrloModule kProbeModule = {kProbeRecord, nullptr, nullptr, "RuntimeTest::Probe",
                                       nullptr,      nullptr, nullptr, 1};

TEST(OrloModule, Registration) {
    Orlo::orloModuleIs(&kProbeModule);
    Orlo::orloModuleIs(&kProbeModule);
    const auto& modules = Orlo::registeredModules();
    EXPECT_EQ(std::count(modules.begin(), modules.end(), &kProbeModule), 1);
    const Orlo::OrloType entity{Orlo::runtimeModule, 0}, dir{Orlo::runtimeModule, 1},
        probe{&kProbeModule, 0}, unknown{&kPinned, 0};
    EXPECT_EQ(Orlo::typeNamed("Orlo::Directory"), dir);
    EXPECT_EQ(Orlo::typeNamed("RuntimeTest::Probe"), probe);
    EXPECT_EQ(Orlo::typeNamed("Orlo::Nothing"), std::nullopt);
    const std::tuple<Orlo::OrloType, Orlo::OrloType, bool> derived[] = {
        {dir, entity, true},     {entity, dir, false},     {probe, entity, true},
        {probe, dir, false},     {unknown, entity, false}, {entity, unknown, false},
        {unknown, unknown, true}};
    for (const auto& [type, base, expected] : derived)
        EXPECT_EQ(type.isDerived(base), expected) << type.toString() << " of " << base.toString();
    EXPECT_THROW(unknown.isPolymorphic(), Orlo::TypeException);
}

// Writes "<name><attribute>" for every call it hears and "<name> gone" when destroyed.
struct Observer : Orlo::Notifiee {
    Observer(std::string n, std::vector<std::string>& out) : name(std::move(n)), told(out) {}
    ~Observer() override { told.push_back(name + " gone"); }
    void onAttribute(uint32_t id, const void*) override {
        told.push_back(name + std::to_string(id));
        if (onCall)
            onCall();
    }
    std::string name;
    std::vector<std::string>& told;
    std::function<void()> onCall;
};

// Removed before its turn: not told; added: told from the next visit; removing itself: survives.
TEST(OrloNotifieeList, MembersChangedDuringAVisit) {
    std::vector<std::string> told;
    Orlo::NotifieeList list;
    const int owner = 0;
    Observer* a = new Observer("a", told);
    Orlo::Ptr<Observer> b = new Observer("b", told);
    Orlo::Ptr<Observer> c = new Observer("c", told);
    Orlo::Ptr<Observer> d = new Observer("d", told);
    a->onCall = [&] {
        list.deleteMember(&owner, b.get());
        list.newMember(&owner, d);
        list.deleteMember(&owner, a);
        a->told.push_back("a still here");
    };
    list.newMember(&owner, Orlo::Ptr<Orlo::Notifiee>(a));
    list.newMember(&owner, b);
    list.newMember(&owner, c);
    list.visit(1);
    list.visit(2);
    EXPECT_EQ(told, (std::vector<std::string>{"a1", "a still here", "a gone", "c1", "c2", "d2"}));
    list.deleteAll();
}

TEST(PimboDebug, ADisabledLevelEvaluatesNothing) {
    auto h = Pimbo::Platform::getDebugHandler("RuntimeTest.lazy");
    h->levelMaskIs(0x0001);
    VeskTest::TraceCapture traces(15);
    int sideEffects = 0;
    PIMBO_TRACE_TO(*h, "Lazy", 5, "call {}", ++sideEffects);
    EXPECT_EQ(sideEffects, 0);
    h->levelMaskIs(0x0021);
    PIMBO_TRACE_TO(*h, "Lazy", 5, "call {}", ++sideEffects);
    EXPECT_TRUE(traces.contains(5, "Lazy", "call 1")) << traces.text;
}

// a and b become ready together and whichever runs first removes the other; c only drains.
TEST(PimboEventLoop, PollRunsEachCallbackOnce) {
    Pimbo::EventLoop loop;
    const Pimbo::Fd fds[3] = {Pimbo::Fd(::eventfd(0, 0)), Pimbo::Fd(::eventfd(0, 0)),
                              Pimbo::Fd(::eventfd(0, 0))};
    int calls[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        loop.addFd(fds[i].get(), [&, i] {
            ++calls[i];
            eventfd_t value;
            ::eventfd_read(fds[i].get(), &value);
            if (i < 2)
                loop.removeFd(fds[1 - i].get());
        });
    }
    for (int round = 1; round <= 2; ++round) {
        for (const Pimbo::Fd& fd : fds)
            ::eventfd_write(fd.get(), 1);
        EXPECT_TRUE(loop.poll(0));
        EXPECT_EQ(calls[0] + calls[1], round) << "a callback removed in the same round ran";
        EXPECT_EQ(calls[2], round);
        EXPECT_FALSE(loop.poll(0)) << "a drained or removed descriptor ran again";
    }
}

// Regression: a forked child registered its descriptors in its parent's loop, whose epoll
// instance the fork shares, and they woke the parent's polls. A child makes a loop of its own.
TEST(PimboEventLoopProcess, AForkedChildMakesALoopOfItsOwn) {
    const Pimbo::EventLoop* parent = &Pimbo::eventLoop();
    VeskTest::Child child([parent](VeskTest::Child& c) {
        c.send(&Pimbo::eventLoop() == parent ? "shared" : "own");
        return 0;
    });
    EXPECT_EQ(child.receive(), "own");
}

}  // namespace
