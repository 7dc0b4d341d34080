// Exceptions of the table machinery and the one routine that throws them.
//
// Every error is raised through PIMBO_THROW, which formats a "{}"-style message with fmt and
// records the source file, function and line of the throw. Callers catch by class; msg() gives
// the formatted text, where() the source location.
#pragma once

#include <fmt/format.h>

#include <exception>
#include <string>
#include <utility>

namespace Pimbo {

// Shortens a compiler path to the part below src/ ("Vesk/VeskInterface.h").
const char* sourceName(const char* path);

class Exception : public std::exception {
  public:
    explicit Exception(std::string msg, const char* file = "", const char* function = "",
                       unsigned line = 0)
        : msg_(std::move(msg)), file_(sourceName(file)), function_(function), line_(line) {}

    const char* what() const noexcept override { return msg_.c_str(); }
    const std::string& msg() const { return msg_; }
    const char* file() const { return file_; }
    const char* function() const { return function_; }
    unsigned line() const { return line_; }
    // "Vesk/VeskInterface.h:write:123"
    std::string where() const;

  private:
    std::string msg_;
    const char* file_;
    const char* function_;
    unsigned line_;
};

#define PIMBO_DECLARE_EXCEPTION(Name)        \
    class Name : public ::Pimbo::Exception { \
      public:                                \
        using ::Pimbo::Exception::Exception; \
    }

// Inconsistent shared memory.
PIMBO_DECLARE_EXCEPTION(CorruptionDetectedException);
// A refused initialisation.
PIMBO_DECLARE_EXCEPTION(InvalidInitializeException);
// Memory that cannot be mapped or resized.
PIMBO_DECLARE_EXCEPTION(MemoryResourceException);
// A write to a read-only table (or a file the process may not open).
PIMBO_DECLARE_EXCEPTION(NoPermissionException);
PIMBO_DECLARE_EXCEPTION(OutOfRangeException);
PIMBO_DECLARE_EXCEPTION(RuntimeException);

template <class E>
[[noreturn]] void throwException(const char* file, const char* function, unsigned line,
                                 std::string msg) {
    throw E(std::move(msg), file, function, line);
}

}  // namespace Pimbo

namespace Vesk {
// "Vesk table full (occupancy:{} tableSize:{}) {}"
PIMBO_DECLARE_EXCEPTION(TableFullException);
}  // namespace Vesk

namespace Mem {
// A version anchor whose record changed (or was never vouched for).
PIMBO_DECLARE_EXCEPTION(VersionMismatchException);
}  // namespace Mem

// Throws exception class Type with a "{}"-style message, recording where it was thrown.
#define PIMBO_THROW(Type, ...) \
    ::Pimbo::throwException<Type>(__FILE__, __func__, __LINE__, ::fmt::format(__VA_ARGS__))
