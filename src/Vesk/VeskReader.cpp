// The reader's code that is not per record type: the reasons an attach fails, and their texts.
#include "Vesk/VeskReaderImpl.h"

#include <cerrno>
#include <cstring>

namespace Vesk {

// Which check of SlotTableHeader::validate failed, taken in the same order.
AttachFailure slotHeaderFailure(const SlotTableHeader& h, Plinth::CinderId cinder, const char* type,
                                uint32_t valueSize) {
    if (std::memcmp(h.magic, SlotTableHeader::kMagic, sizeof(h.magic)) != 0)
        return AttachFailure::notATable;
    if (h.version != SlotTableHeader::kVersion || h.platform != Compatibility::kPlatform)
        return AttachFailure::otherVersion;
    if (h.cinder != cinder.value)
        return AttachFailure::otherGeneration;
    if (h.computeChecksum() == h.hash &&
        (std::string(h.valueType, strnlen(h.valueType, sizeof(h.valueType))) != type ||
         h.valueSize != valueSize))
        return AttachFailure::otherRecordType;
    return AttachFailure::corrupt;
}

AttachFailure bucketHeaderFailure(const VeskCore::BucketHeader& h, Plinth::CinderId cinder) {
    if (std::memcmp(h.magic, VeskCore::BucketHeader::kMagic, sizeof(h.magic)) != 0)
        return AttachFailure::notATable;
    if (h.version != VeskCore::BucketHeader::kVersion)
        return AttachFailure::otherVersion;
    if (h.cinder != cinder.value)
        return AttachFailure::otherGeneration;
    return AttachFailure::corrupt;
}

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
