// The texts of the reasons a table cannot be read (AttachFailure.h).
#include "VeskBase/AttachFailure.h"

#include <fmt/format.h>

#include <cerrno>

namespace Vesk {

AttachFailure attachFailureOf(int errnum) {
    switch (errnum) {
        case ENOENT:
            return AttachFailure::noFiles;
        case EACCES:
            return AttachFailure::permissionDenied;
        case EPERM:  // Mem::TableDir: a directory refused as untrusted
            return AttachFailure::untrustedDirectory;
        case ENOTDIR:
        case EINVAL:  // not a regular file
        case ELOOP:   // a symbolic link
        case EMLINK:  // a hard link
            return AttachFailure::notATable;
        default:
            return AttachFailure::cannotMap;
    }
}

std::string shrankText(const std::string& path) {
    return fmt::format("{} shrank under the reader (another process cut the file short)", path);
}

const char* attachFailureText(AttachFailure failure) {
    switch (failure) {
        case AttachFailure::none:
            return "";
        case AttachFailure::noFiles:
            return "no files yet";
        case AttachFailure::permissionDenied:
            return "permission denied";
        case AttachFailure::untrustedDirectory:
            return "untrusted directory";
        case AttachFailure::notATable:
            return "not a table";
        case AttachFailure::otherRecordType:
            return "other record type";
        case AttachFailure::otherVersion:
            return "other version";
        case AttachFailure::otherGeneration:
            return "other generation";
        case AttachFailure::corrupt:
            return "corrupt";
        case AttachFailure::cannotMap:
            return "cannot map";
        case AttachFailure::noSuchTable:
            return "no such table";
        case AttachFailure::writerAbsent:
            return "writer absent";
        case AttachFailure::unknownRecordType:
            return "wrong record type";
        case AttachFailure::fileShrank:
            return "file shrank";
    }
    return "?";
}

}  // namespace Vesk
