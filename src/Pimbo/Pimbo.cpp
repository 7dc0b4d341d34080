#include "Pimbo/Assert.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace Pimbo {

const char* sourceName(const char* path) {
    if (path == nullptr)
        return "";
    const char* best = path;
    // The part below the last src/, tests/, tools/ or bench/ directory.
    for (const char* root : {"src/", "tests/", "tools/", "bench/"}) {
        const size_t n = std::strlen(root);
        for (const char* p = path; (p = std::strstr(p, root)) != nullptr; p += n) {
            if (p != path && p[-1] != '/')
                continue;
            if (p + n > best)
                best = p + n;
        }
    }
    return best;
}

std::string Exception::where() const {
    return fmt::format("{}:{}:{}", file_, function_, line_);
}

void fmassert(std::string_view className, const char* file, const char* function, unsigned line,
              std::string_view message) {
    std::string text =
        fmt::format("assertion failed: class:{} source:{} function:{} line:{} message:{}\n",
                    className, sourceName(file), function, line, message);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    std::abort();
}

namespace Platform {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<DebugHandler>> handlers;
    uint16_t defaultMask = 0x0001;
    TraceSink sink;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: traces may run during exit
    return *r;
}

}  // namespace

std::string traceLine(const TraceRecord& r) {
    return fmt::format("level:{} {} {}:{}:{} [{}] {}", r.level, r.handler, r.file, r.function,
                       r.line, r.className, r.message);
}

void DebugHandler::emit(unsigned level, std::string_view className, const char* file,
                        const char* function, unsigned line, std::string_view message) const {
    TraceRecord record{level, name_, className, sourceName(file), function, line, message};
    TraceSink sink;
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        sink = registry().sink;
    }
    if (sink) {
        sink(record);
        return;
    }
    std::string text = traceLine(record);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::shared_ptr<DebugHandler> getDebugHandler(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& slot = r.handlers[name];
    if (!slot)
        slot = std::make_shared<DebugHandler>(name, r.defaultMask);
    return slot;
}

void defaultLevelMaskIs(uint16_t mask) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().defaultMask = mask;
}

uint16_t defaultLevelMask() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().defaultMask;
}

void allLevelMasksIs(uint16_t mask) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.defaultMask = mask;
    for (auto& [name, handler] : r.handlers)
        handler->levelMaskIs(mask);
}

void traceSinkIs(TraceSink sink) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().sink = std::move(sink);
}

}  // namespace Platform
}  // namespace Pimbo
