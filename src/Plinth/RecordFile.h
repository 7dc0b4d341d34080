// Plinth::storeRecord: how the small record files of a table ("owner", "cinder") are rewritten.
//
// A record is written whole to a temporary and renamed over the file (Mem::TableDir::
// replaceFile), so a reader finds the old record or the new one. On a file system without room
// for the temporary (ENOSPC or EDQUOT: a full tmpfs has no page for it) a file that exists is
// rewritten in place instead, with one write of the whole record, which needs no new space: a
// reader that reads during that write may find a record that fails its checksum, which it reads
// again (OwnerFile) or takes for none (CinderFile). So a writer can restart on a full file system.
//
// The writer's thread only (the files' owner).
#pragma once

#include "Plinth/TableDir.h"

#include <cstddef>

namespace Plinth {

// Writes `size` bytes as the file `name` of `dir` as described above. False with `error` (of the
// replacement) when neither way works.
bool storeRecord(const Mem::TableDir& dir, const char* name, const void* bytes, size_t size,
                 Mem::FileError& error);

}  // namespace Plinth
