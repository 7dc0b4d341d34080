// Standard output of the commands. A command whose output cannot be written stops with a
// message and status kOutput (a full file system, /dev/full); one whose reader went away (a
// closed pipe: `vesk dump t | head`) stops quietly with status 0. SIGPIPE is ignored so that the
// write returns EPIPE instead of killing the process.
#pragma once

#include "ToolError.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

// Rows as lines of columns separated by two blanks; the first row is usually the heading.
inline std::vector<std::string> columnLines(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line.append(widths[i] - row[i].size() + 2, ' ');
        }
        lines.push_back(line);
    }
    return lines;
}

// Prints rows as columnLines.
inline void printColumns(const std::vector<std::vector<std::string>>& rows) {
    std::string out;
    for (const std::string& line : columnLines(rows))
        out += line + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace VeskTool
