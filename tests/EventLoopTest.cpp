// Tests of the process's event loop: readiness through its own descriptor, one run of the
// ready callbacks per poll, registrations changed from inside callbacks, and stopping.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"

namespace {

// A pipe whose read end the loop watches.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (::pipe(fds) != 0) {
            ADD_FAILURE() << "pipe failed";
        }
    }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    int readEnd() const { return fds[0]; }
    void put(const std::string& bytes) const {
        ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::string take(size_t most = 64) const {
        char buf[64];
        const ssize_t n = ::read(fds[0], buf, std::min(most, sizeof buf));
        return n > 0 ? std::string(buf, size_t(n)) : std::string();
    }
};

// Whether a descriptor is readable now, as a program's own poll would see it.
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(PimboEventLoop, ItsDescriptorIsPollableAndPollRunsReadyCallbacksOnce) {
    Pimbo::EventLoop loop;
    Pipe pipe;
    std::vector<std::string> got;
    loop.addFd(pipe.readEnd(), [&] { got.push_back(pipe.take()); });
    EXPECT_EQ(loop.fds(), 1u);

    EXPECT_FALSE(readable(loop.fd()));
    EXPECT_FALSE(loop.poll(0));
    EXPECT_TRUE(got.empty());

    pipe.put("abc");
    EXPECT_TRUE(readable(loop.fd())) << "a program can wait for the loop in its own poll";
    EXPECT_TRUE(loop.poll(0));
    EXPECT_EQ(got, std::vector<std::string>{"abc"});
    EXPECT_FALSE(readable(loop.fd()));
    EXPECT_FALSE(loop.poll(0)) << "nothing left to run";

    loop.removeFd(pipe.readEnd());
    pipe.put("x");
    EXPECT_FALSE(loop.poll(0)) << "a removed descriptor's callback never runs";
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(loop.fds(), 0u);
    loop.removeFd(pipe.readEnd());  // unknown now: ignored
}

TEST(PimboEventLoop, UndrainedDescriptorsStayReady) {
    Pimbo::EventLoop loop;
    Pipe pipe;
    int calls = 0;
    loop.addFd(pipe.readEnd(), [&] { ++calls; });
    pipe.put("z");
    EXPECT_TRUE(loop.poll(0));
    EXPECT_TRUE(loop.poll(0));
    EXPECT_EQ(calls, 2);
    pipe.take();
    EXPECT_FALSE(loop.poll(0));
    EXPECT_EQ(calls, 2);
}

TEST(PimboEventLoop, CallbacksMayRemoveOthersAndThemselves) {
    Pimbo::EventLoop loop;
    Pipe a, b;
    int callsA = 0, callsB = 0;
    // Both become ready together; whichever runs first removes the other.
    loop.addFd(a.readEnd(), [&] {
        ++callsA;
        a.take();
        loop.removeFd(b.readEnd());
    });
    loop.addFd(b.readEnd(), [&] {
        ++callsB;
        b.take();
        loop.removeFd(a.readEnd());
    });
    a.put("1");
    b.put("1");
    EXPECT_TRUE(loop.poll(0));
    EXPECT_EQ(callsA + callsB, 1) << "a callback removed in the same round must not run";

    // A callback that removes itself and re-registers its descriptor with a new callback.
    Pipe c;
    std::vector<std::string> order;
    std::string captured = "first";
    loop.addFd(c.readEnd(), [&, captured] {
        c.take();
        loop.removeFd(c.readEnd());
        order.push_back(captured);  // its own state is still intact after the removal
        loop.addFd(c.readEnd(), [&] {
            c.take();
            order.push_back("second");
        });
    });
    c.put("1");
    EXPECT_TRUE(loop.poll(0));
    c.put("1");
    EXPECT_TRUE(loop.poll(0));
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
}

TEST(PimboEventLoop, DoubleRegistrationIsRefused) {
    Pimbo::EventLoop loop;
    Pipe pipe;
    loop.addFd(pipe.readEnd(), [] {});
    try {
        loop.addFd(pipe.readEnd(), [] {});
        FAIL() << "registered twice";
    } catch (const Pimbo::RuntimeException& e) {
        EXPECT_EQ(e.msg(), "event loop: descriptor " + std::to_string(pipe.readEnd()) +
                               " is already registered");
    }
    EXPECT_THROW(loop.addFd(-1, [] {}), Pimbo::RuntimeException);
    EXPECT_EQ(loop.fds(), 1u);
}

TEST(PimboEventLoop, StopEndsRunFromACallbackOrAnotherThread) {
    Pimbo::EventLoop loop;
    Pipe pipe;
    int calls = 0;
    loop.addFd(pipe.readEnd(), [&] {
        pipe.take(1);  // one byte per call: the second byte makes a second call
        if (++calls == 2) {
            loop.stop();
        }
    });
    pipe.put("1");
    std::thread feeder([&] { pipe.put("2"); });
    loop.run();  // returns once the second byte was handled
    feeder.join();
    EXPECT_EQ(calls, 2);

    // A stop from another thread wakes a run that has nothing to do.
    std::thread stopper([&] { loop.stop(); });
    loop.run();
    stopper.join();
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(loop.poll(0)) << "the wake-up is not a callback";
}

TEST(PimboEventLoop, TheProcessLoopIsOne) {
    EXPECT_EQ(&Pimbo::eventLoop(), &Pimbo::eventLoop());
    EXPECT_GE(Pimbo::eventLoop().fd(), 0);
}

}  // namespace
