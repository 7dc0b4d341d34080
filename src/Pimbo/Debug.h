// Debug handlers: named trace targets with a 16-bit level mask.
//
// A component obtains its handler by name (getDebugHandler) and traces through PIMBO_TRACE or
// PIMBO_TRACE_TO. Level n is emitted only when bit n of the handler's mask is set; a disabled
// level costs one test and no formatting, because the macro checks the mask before fmt runs.
// Emitted records go to one process-wide sink (stderr by default) that a program or a test
// replaces with traceSinkIs.
//
// Levels: 0 failures and corruption, 1 lifecycle milestones, 2 resizes and attach decisions,
// 3 file removal and header dumps, 5 operation entry, 7 slot moves, 8 write/remove paths,
// 9 per-slot detail.
#pragma once

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace Pimbo::Platform {

struct TraceRecord {
    unsigned level;
    std::string_view handler;    // name of the debug handler
    std::string_view className;  // class tag of the tracing component
    const char* file;            // source below src/
    const char* function;
    unsigned line;
    std::string_view message;
};

using TraceSink = std::function<void(const TraceRecord&)>;

class DebugHandler : public std::enable_shared_from_this<DebugHandler> {
  public:
    DebugHandler(std::string name, uint16_t levelMask) : name_(std::move(name)), mask_(levelMask) {}

    const std::string& name() const { return name_; }
    bool enabled(unsigned level) const {
        return level < 16 && ((mask_.load(std::memory_order_relaxed) >> level) & 1u) != 0;
    }
    uint16_t levelMask() const { return mask_.load(std::memory_order_relaxed); }
    void levelMaskIs(uint16_t mask) { mask_.store(mask, std::memory_order_relaxed); }

    // Hands one formatted record to the process's trace sink.
    void emit(unsigned level, std::string_view className, const char* file, const char* function,
              unsigned line, std::string_view message) const;

  private:
    std::string name_;
    std::atomic<uint16_t> mask_;
};

// The handler of that name, created with the default level mask on first use.
std::shared_ptr<DebugHandler> getDebugHandler(const std::string& name);

// Level mask given to handlers created from now on (default: level 0 only).
void defaultLevelMaskIs(uint16_t mask);
uint16_t defaultLevelMask();
// Sets the mask of every existing handler and the default for new ones.
void allLevelMasksIs(uint16_t mask);

// Replaces the trace sink; an empty function restores the default (one line on stderr).
void traceSinkIs(TraceSink sink);

// "level:{} {} {}:{}:{} {}" - the text the default sink writes.
std::string traceLine(const TraceRecord& r);

}  // namespace Pimbo::Platform

// Traces through a DebugHandler (a reference) with a class tag, if the level is enabled.
#define PIMBO_TRACE_TO(handler, className, level, ...)                              \
    do {                                                                            \
        const ::Pimbo::Platform::DebugHandler& pimboTraceHandler_ = (handler);      \
        if (pimboTraceHandler_.enabled(level)) [[unlikely]]                         \
            pimboTraceHandler_.emit(level, className, __FILE__, __func__, __LINE__, \
                                    ::fmt::format(__VA_ARGS__));                    \
    } while (0)
