// Debuggable: a trace handle (a debug handler plus the class tag) that components derive from.
#pragma once

#include "Pimbo/Assert.h"
#include "Pimbo/Debug.h"

#include <memory>
#include <string>
#include <utility>

namespace Pimbo {

class Debuggable {
  public:
    Debuggable(Platform::DebugHandler& handler, std::string className)
        : handler_(handler.shared_from_this()), className_(std::move(className)) {}
    Debuggable(std::shared_ptr<Platform::DebugHandler> handler, std::string className)
        : handler_(std::move(handler)), className_(std::move(className)) {}

    Platform::DebugHandler& debugHandler() const { return *handler_; }
    const std::shared_ptr<Platform::DebugHandler>& debugHandlerPtr() const { return handler_; }
    void debugHandlerIs(std::shared_ptr<Platform::DebugHandler> h) { handler_ = std::move(h); }
    const std::string& debugClass() const { return className_; }

  private:
    std::shared_ptr<Platform::DebugHandler> handler_;
    std::string className_;
};

}  // namespace Pimbo

// Traces through the enclosing Debuggable's handler and class tag.
#define PIMBO_TRACE(level, ...) \
    PIMBO_TRACE_TO(this->debugHandler(), this->debugClass(), level, __VA_ARGS__)

// Fatal assertion tagged with the enclosing Debuggable's class.
#define PIMBO_FAIL(...) PIMBO_ASSERT_FAIL(this->debugClass(), __VA_ARGS__)
