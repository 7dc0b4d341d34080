// The one way this project runs a piece of itself as another process: the demo's writer, readers
// and shadow, the tests' children and the benchmarks' writers and followers.
//
// A ChildProcess forks and runs a body in the child, which then ends with the body's result. The
// child ends with the process that started it (a parent-death signal, raised at once when that
// process died before the signal was set). The two talk over one channel each way: lines
// (send, receive), or bytes of their own through in() and out(). Every wait is bounded; a child
// that outlives a wait is killed and the wait says so.
//
// Header-only, so that the tool, the tests and the benchmarks share it without a library of
// their own. Not thread-safe: one thread owns a ChildProcess.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

namespace VeskTool {

class ChildProcess {
  public:
    static constexpr double kWait = 60;  // seconds; generous, only a hang reaches it
    // Exit status of a child whose body threw: the exception never leaves the child's body.
    static constexpr int kThrew = 70;

    ChildProcess() = default;
    ~ChildProcess() {
        kill();
        closeChannel();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Forks a child that runs `body(*this)` and exits with its result (stdout and stderr
    // flushed). The parent's death sends it `deathSignal`. False, with errno, when no child
    // could be made.
    bool start(const std::function<int(ChildProcess&)>& body, int deathSignal = SIGKILL) {
        int down[2];
        int up[2];
        if (::pipe2(down, O_CLOEXEC) != 0)
            return false;
        if (::pipe2(up, O_CLOEXEC) != 0) {
            closeBoth(down);
            return false;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) {
            const int e = errno;
            closeBoth(down);
            closeBoth(up);
            errno = e;
            return false;
        }
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, deathSignal);
            if (::getppid() != parent)
                ::raise(deathSignal);  // the parent died before the signal was set
            ::close(down[1]);
            ::close(up[0]);
            in_ = down[0];
            out_ = up[1];
            int rc = kThrew;
            try {
                rc = body(*this);
            } catch (...) {
            }
            std::fflush(stdout);
            std::fflush(stderr);
            ::_exit(rc);
        }
        ::close(down[0]);
        ::close(up[1]);
        in_ = up[0];
        out_ = down[1];
        reaped_ = false;
        return true;
    }

    pid_t pid() const { return pid_; }
    // The channel's ends on this side: from the other side, and to it.
    int in() const { return in_; }
    int out() const { return out_; }

    // One line to the other side (from either side); false when it could not be written.
    bool send(const std::string& line) {
        const std::string text = line + "\n";
        return writeAll(text.data(), text.size());
    }
    // The next line from the other side; "" when it ended or nothing came within `seconds`.
    std::string receive(double seconds = kWait) {
        std::string line;
        const double deadline = now() + seconds;
        for (;;) {
            // A line begun is read to its end (it was written at once): a short wait loses none.
            const double left = line.empty() ? deadline - now() : kWait;
            pollfd p{in_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, int(left * 1000) + 1) != 1)
                return "";
            char c;
            if (::read(in_, &c, 1) != 1)
                return "";
            if (c == '\n')
                return line;
            line += c;
        }
    }
    // Everything the other side sent that was not received yet (after it ended).
    std::string rest() {
        std::string text;
        char buffer[512];
        pollfd p{in_, POLLIN, 0};
        while (::poll(&p, 1, 0) == 1) {
            const ssize_t n = ::read(in_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, size_t(n));
        }
        return text;
    }
    // `size` bytes to the other side; false when they could not be written.
    bool writeAll(const void* data, size_t size) {
        return whole(size, [&](size_t done) {
            return ::write(out_, static_cast<const char*>(data) + done, size - done);
        });
    }
    // `size` bytes from the other side; false when it ended first.
    bool readAll(void* data, size_t size) {
        return whole(size, [&](size_t done) {
            return ::read(in_, static_cast<char*>(data) + done, size - done);
        });
    }
    // Whether something from the other side waits to be read (or it ended), after up to `ms`.
    bool readable(int ms = 0) const {
        pollfd p{in_, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    // Waits for the child's end: its exit status, 128 + the signal that ended it, or -1 when it
    // did not end within `seconds` (it is killed then).
    int wait(double seconds = kWait) {
        if (reaped_ || pid_ <= 0)
            return status_;
        const double deadline = now() + seconds;
        int status = 0;
        for (;;) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_)
                break;
            if (r < 0 || now() > deadline) {
                kill();
                return -1;
            }
            ::usleep(2000);
        }
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }
    // Sends `sig`; with SIGKILL also reaps.
    void kill(int sig = SIGKILL) {
        if (reaped_ || pid_ <= 0)
            return;
        ::kill(pid_, sig);
        if (sig == SIGKILL) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            status_ = 128 + SIGKILL;
        }
    }
    // Waits up to `seconds` until the child has ended, without reaping it (it stays a zombie,
    // for wait); false when it still runs.
    bool waitDead(double seconds = kWait) {
        if (reaped_)
            return true;
        const double deadline = now() + seconds;
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOWAIT | WNOHANG) == 0 &&
                info.si_pid == pid_)
                return true;
            if (now() >= deadline)
                return false;
            ::usleep(2000);
        }
    }
    // Closes this side's ends of the channel: the other side reads its end.
    void closeChannel() {
        if (in_ >= 0)
            ::close(in_);
        if (out_ >= 0)
            ::close(out_);
        in_ = out_ = -1;
    }

  private:
    static double now() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    // Repeats `io` (a read or a write from `done` bytes on) until `size` bytes moved; false when
    // the other side ended or failed.
    template <class Io>
    static bool whole(size_t size, Io io) {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = io(done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }
    static void closeBoth(int ends[2]) {
        ::close(ends[0]);
        ::close(ends[1]);
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool reaped_ = true;  // until a child is started
    int status_ = -1;
};

}  // namespace VeskTool
