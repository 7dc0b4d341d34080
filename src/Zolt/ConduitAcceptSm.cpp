#include "Zolt/ConduitAcceptSm.h"

#include "Pimbo/Exception.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Zolt {
namespace {

// Fields of /proc/PID/stat after the command name: field 3 (state) is the first of them.
constexpr unsigned kStateField = 3;
constexpr unsigned kStartTimeField = 22;

bool parseStat(const std::string& text, char& state, uint64_t& startTime, std::string& error) {
    // The command name (field 2) sits in parentheses and may itself hold spaces and ')': the
    // fields that follow start after the last ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        error = "no command name";
        return false;
    }
    std::istringstream in(text.substr(close + 1));
    std::string field;
    for (unsigned n = kStateField; n <= kStartTimeField; ++n) {
        if (!(in >> field)) {
            error = fmt::format("only {} fields", n - 1);
            return false;
        }
        if (n == kStateField) {
            state = field.empty() ? '?' : field[0];
        }
    }
    const char* end = field.data() + field.size();
    auto [p, ec] = std::from_chars(field.data(), end, startTime);
    if (ec != std::errc() || p != end) {
        error = fmt::format("bad start time field '{}'", field);
        return false;
    }
    return true;
}

std::string makeName() {
    const pid_t pid = ::getpid();
    uint64_t startTime = 0;
    std::string error;
    if (!processStartTime(uint64_t(pid), startTime, error)) {
        // Without /proc the name cannot be made unique; refusing beats a name that a later
        // process could share.
        PIMBO_THROW(Pimbo::RuntimeException, "cannot make the conduit name of process {}: {}", pid,
                    error);
    }
    return fmt::format("{}:{}", pid, startTime);
}

}  // namespace

const std::string& ConduitAcceptSm::socketName() {
    // One copy per thread, remade when the pid changed: after fork the child's copy (inherited
    // from the forking thread) is recomputed on first use, and no lock is held across fork.
    thread_local pid_t namedPid = 0;
    thread_local std::string name;
    const pid_t pid = ::getpid();
    if (pid != namedPid) {
        name = makeName();
        namedPid = pid;
    }
    return name;
}

bool processStartTime(uint64_t pid, uint64_t& startTime, std::string& error) {
    const std::string path = fmt::format("/proc/{}/stat", pid);
    std::ifstream file(path);
    if (!file) {
        error = fmt::format("cannot open {}: {}", path, std::strerror(errno));
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    char state = '?';
    if (!parseStat(text, state, startTime, error)) {
        error = fmt::format("cannot parse {}: {}", path, error);
        return false;
    }
    if (state == 'Z' || state == 'X') {
        error = fmt::format("process {} has exited (state {})", pid, state);
        return false;
    }
    return true;
}

}  // namespace Zolt
