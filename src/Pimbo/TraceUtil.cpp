#include "Pimbo/TraceUtil.h"

#include "Pimbo/Debug.h"

namespace Pimbo::Util {

std::string traceHandleName(const std::string& name, const std::string& qualifier, bool) {
    return "Vesk:" + name + ":" + qualifier;
}

void emitCanaryLog(const std::string& text) {
    const std::shared_ptr<Platform::DebugHandler> canary = Platform::getDebugHandler("Canary");
    // emit() itself does not look at the mask: the canary line is always written.
    canary->emit(0, "Canary", __FILE__, __func__, __LINE__, "canary: " + text);
}

}  // namespace Pimbo::Util
