#include "VeskBase/Counters.h"

#include "VeskBase/Types.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace Vesk {

std::string veskTypeName(unsigned type) {
    switch (type) {
        case writer:
            return "writer";
        case shadow:
            return "shadow";
        case reader:
            return "reader";
        case keyshadow:
            return "keyshadow";
        default:
            return fmt::format("unknown({})", type);
    }
}

namespace {

// Merges o into c, field by field as the field list says.
template <class Counters>
void mergeFields(Counters& c, const Counters& o) {
    Counters::fields(
        [](const char*, CounterMerge how, auto& mine, const auto& other) {
            if (how == CounterMerge::add)
                mine += other;
            else if (how == CounterMerge::max)
                mine = std::max(mine, other);
            else
                mine = other;
        },
        c, o);
}

// "name:value" for each field, separated by spaces.
template <class Counters>
std::string fieldsText(const Counters& c) {
    fmt::memory_buffer out;
    Counters::fields(
        [&](const char* name, CounterMerge, const auto& value) {
            fmt::format_to(std::back_inserter(out), "{}{}:{}", out.size() == 0 ? "" : " ", name,
                           value);
        },
        c);
    return fmt::to_string(out);
}

// The number of fields the list names, so that a field added without a line in it is caught
// here: every field is 8 bytes.
template <class Counters>
constexpr size_t listedFields() {
    size_t n = 0;
    Counters c{};
    Counters::fields([&](const char*, CounterMerge, auto&) { ++n; }, c);
    return n;
}
static_assert(listedFields<Writer::Counters>() * 8 == sizeof(Writer::Counters));
static_assert(listedFields<Reader::Counters>() * 8 == sizeof(Reader::Counters));

}  // namespace

namespace Writer {

void Counters::merge(const Counters& o) {
    mergeFields(*this, o);
}

std::string Counters::toString() const {
    return fieldsText(*this);
}

}  // namespace Writer

namespace Reader {

void Counters::merge(const Counters& o) {
    mergeFields(*this, o);
}

std::string Counters::toString() const {
    return fieldsText(*this);
}

}  // namespace Reader
}  // namespace Vesk
