// Trace-handle names and the canary log.
#pragma once

#include <string>

namespace Pimbo::Util {

// The name of the debug handler of one table attribute: "Vesk:" + name + ":" + qualifier. The
// same arguments always give the same name, so every map of a table traces through one handler.
// The flag is accepted for callers that pass it and does not change the name.
std::string traceHandleName(const std::string& name, const std::string& qualifier, bool flag);

// Writes the line "canary: " + text through the process's trace sink, at level 0, under the
// debug handler "Canary", whatever the handlers' level masks are.
void emitCanaryLog(const std::string& text);

}  // namespace Pimbo::Util
