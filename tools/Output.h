// Standard output of the commands. A command whose output cannot be written stops with a
// message and status kOutput (a full file system, /dev/full); one whose reader went away (a
// closed pipe: `vesk dump t | head`) stops quietly with status 0. SIGPIPE is ignored so that the
// write returns EPIPE instead of killing the process.
#pragma once

#include "ToolError.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace VeskTool {

// Thrown when the reader of stdout went away; main ends with status 0 and says nothing.
struct OutputClosed {};

inline void ignoreSigpipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

// Flushes stdout; throws OutputClosed or ToolError(kOutput) when what was printed so far could
// not all be written.
inline void checkOutput() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return;
    int e = errno;
    // A write that failed before this flush left the stream's error flag but not its errno:
    // one more byte says why (the output is lost anyway).
    if (e == 0 && ::write(STDOUT_FILENO, "\n", 1) < 0)
        e = errno;
    if (e == EPIPE)
        throw OutputClosed{};
    throw ToolError(kOutput, fmt::format("cannot write the output: {}",
                                         e != 0 ? std::strerror(e) : "write error"));
}

// Writes `text` to stdout and checks it, as checkOutput.
inline void writeOutput(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    checkOutput();
}

}  // namespace VeskTool
