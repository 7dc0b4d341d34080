#include "OrloPlinth/Util.h"

#include "Pimbo/Assert.h"

#include <fmt/format.h>

#include <string>
#include <string_view>
#include <vector>

namespace OrloPlinth::Util {

namespace {
// Deeper than any real tree; reached only through a parent chain that loops.
constexpr size_t kMaxDepth = 4096;
}  // namespace

Orlo::String fullName(const Orlo::Entity& entity) {
    std::vector<Orlo::String> names;
    names.push_back(entity.name());
    for (Orlo::Ptr<Orlo::Entity> p = entity.parent(); p; p = p->parent()) {
        PIMBO_ASSERT(names.size() < kMaxDepth, "OrloPlinth::Util",
                     "the parent chain of entity {} is more than {} levels deep; it loops "
                     "(an entity was made the parent of one of its ancestors)",
                     entity.name(), kMaxDepth);
        names.push_back(p->name());
    }
    // Root first; an unnamed root contributes nothing.
    std::vector<std::string_view> parts;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!(it->empty() && it == names.rbegin())) {
            parts.emplace_back(it->str());
        }
    }
    std::string path = fmt::format("/{}", fmt::join(parts, "/"));
    return Orlo::String(std::move(path));
}

}  // namespace OrloPlinth::Util
