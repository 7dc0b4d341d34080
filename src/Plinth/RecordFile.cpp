#include "Plinth/RecordFile.h"

#include <unistd.h>

#include <cerrno>

namespace Plinth {

bool storeRecord(const Mem::TableDir& dir, const char* name, const void* bytes, size_t size,
                 Mem::FileError& error) {
    if (dir.replaceFile(name, bytes, size, error))
        return true;
    if (error.errnum != ENOSPC && error.errnum != EDQUOT)
        return false;
    Mem::FileError inPlace;
    const Pimbo::Fd fd = dir.openFile(name, Mem::TableDir::FileAccess::readWrite, inPlace);
    return fd && ::pwrite(fd.get(), bytes, size, 0) == ssize_t(size) &&
           ::ftruncate(fd.get(), off_t(size)) == 0;
}

}  // namespace Plinth
