// Vesk::AttachFailure: why a table cannot be read, as a value that travels from where it is
// found (a reader's attach, a probe of the files, a read that had to stop) to every front end,
// which makes its own text, error class or label from it (attachFailureText) once.
#pragma once

#include "Pimbo/Exception.h"

#include <cstdint>
#include <string>
#include <utility>

namespace Vesk {

// Why a table cannot be read: why VeskReader::initialize could not attach, why a probe of the
// table's files (Vesk/TableAccess.h) refused it, or why a read stopped; none after a success.
enum class AttachFailure : uint8_t {
    none,
    noFiles,             // the table's directory or a file is missing, or no generation published
    permissionDenied,    // this user may not read a directory or file of the table
    untrustedDirectory,  // a directory of the table is a symbolic link or others may change it
    notATable,           // a file is not a regular file, is shorter than its header, bad magic
    otherRecordType,     // the table holds records of another type
    otherVersion,        // the files have another format version or platform
    otherGeneration,     // the files and the cinder file name different generations
    corrupt,             // a header fails its checksum, its counts or its file sizes
    cannotMap,           // the system would not map a file (memory, descriptors)
    noSuchTable,         // no directory of that name under the root
    writerAbsent,        // a table whose writer stopped before it made its slot file
    unknownRecordType,   // the files hold records of a type no registered module describes
    fileShrank,          // another process cut a mapped file short under the reader
};
// "no files yet", "permission denied", "untrusted directory", "not a table", "other record type",
// "other version", "other generation", "corrupt", "cannot map", "no such table", "writer absent",
// "wrong record type", "file shrank"; "" for none.
const char* attachFailureText(AttachFailure failure);

// The reason for a file or directory of a table that Mem::TableDir refused with errno `errnum`
// (ENOENT: noFiles, EACCES, EPERM: untrustedDirectory, ...).
AttachFailure attachFailureOf(int errnum);

// "<path> shrank under the reader (another process cut the file short)".
std::string shrankText(const std::string& path);

// A table that cannot be read, or a read that had to stop: the reason as a value, the message
// naming the table or its file and the value found ("/dev/shm/vesk/t/slots shrank under the
// reader ..."). Front ends make their text from both, as "<reason text>: <message>".
class TableUnreadableException : public Pimbo::Exception {
  public:
    TableUnreadableException(AttachFailure reason, std::string message)
        : Pimbo::Exception(std::move(message)), reason_(reason) {}
    AttachFailure reason() const { return reason_; }

  private:
    AttachFailure reason_;
};

}  // namespace Vesk
