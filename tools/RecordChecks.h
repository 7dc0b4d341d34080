// The check a self-checking stress role makes of every record it reads (the demo's readers, the
// stress tests' readers): the record is whole and of the key it was read for, and never older
// than a record of that key the same reader saw before. The records are those of RecordKinds.h:
// a torn copy fails Kind::selfCheck, and Kind::progress only grows with the generation.
#pragma once

#include "RecordKinds.h"

#include <algorithm>
#include <cstdint>

namespace VeskTool {

enum class RecordFault {
    none,
    torn,      // the record fails its self-check, or is of another key
    wentBack,  // the record is older than one of its key the reader saw before
};

// Checks `v`, read for `key`, against `highest`: the highest progress the reader saw of that
// key, which a whole record then raises to its own.
template <class Ops>
RecordFault checkRecord(const typename Ops::Value& v, uint64_t key, uint64_t& highest) {
    if (Ops::key(v).value() != key || !Kind<Ops>::selfCheck(v))
        return RecordFault::torn;
    const uint64_t progress = Kind<Ops>::progress(v);
    const bool back = progress < highest;
    highest = std::max(highest, progress);
    return back ? RecordFault::wentBack : RecordFault::none;
}

}  // namespace VeskTool
