// Fatal assertions: a broken invariant that only a programming error can cause.
//
// fmassert writes the class, the source, the function, the line and the message to stderr and
// aborts the process. It never returns.
#pragma once

#include <fmt/format.h>

#include <string_view>

namespace Pimbo {

[[noreturn]] void fmassert(std::string_view className, const char* file, const char* function,
                           unsigned line, std::string_view message);

}  // namespace Pimbo

// Stops the process with a "{}"-style message naming the class.
#define PIMBO_ASSERT_FAIL(className, ...) \
    ::Pimbo::fmassert(className, __FILE__, __func__, __LINE__, ::fmt::format(__VA_ARGS__))

#define PIMBO_ASSERT(cond, className, ...)             \
    do {                                               \
        if (!(cond)) [[unlikely]]                      \
            PIMBO_ASSERT_FAIL(className, __VA_ARGS__); \
    } while (0)
