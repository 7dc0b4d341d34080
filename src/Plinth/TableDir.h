// Mem::TableDir: the one door through which the files of a table are opened, created, read,
// replaced and removed.
//
// A table's directory usually lies under /dev/shm, which every local user may write, while its
// writer often runs as root. So nothing here ever follows a path that another user could bend:
//   1. A directory is reached component by component from "/" with openat(O_NOFOLLOW |
//      O_DIRECTORY). Above the root a symbolic link is followed (its target walked the same
//      way) only when root or this process's user owns it, as the kernel's protected-symlinks
//      rule would in a sticky directory; another user's link is refused wherever it lies. The
//      root and everything below it are never reached through a symbolic link. Nothing above
//      the root is ever created: a writer makes at most the root, in an existing directory,
//      and the table's directories below it.
//   2. Every directory is trusted before anything below it is touched: its owner is root or
//      this process's user, for readers and writers alike (a reader never follows another
//      user's directory: whoever owns a directory on the way can put any table there), and
//      others may not write it unless it is sticky (as /dev/shm is) and above the root. The
//      root and every directory below it must in addition be writable by their owner alone and
//      never be a symbolic link. A writer creates what is missing, with the table's directory
//      mode; a reader never creates.
//   3. Every file is opened relative to the table directory's descriptor with O_NOFOLLOW and
//      O_NONBLOCK (a FIFO or device never blocks the open) after an lstat-style look, and is
//      used only when fstat says it is a regular file with one link that belongs to root or
//      this process's user: a symlink, FIFO, device, directory, hard link or another user's
//      file planted at a table's file name is refused with an error naming the file.
//   4. Small files are read with a size limit; replaced files are written to an O_EXCL
//      temporary with an unpredictable name in the same directory and renamed into place with
//      renameat, so no reader sees a partial file and no planted name is written through.
//   5. Files a writer creates get the table's file mode and group whatever the umask.
//
// Errors are returned as a FileError whose text names the file or directory, what was found
// and the system's reason; nothing here throws except openOrThrow.
#pragma once

#include "Pimbo/Fd.h"
#include "Plinth/RootPath.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace Mem {

// Why a file operation failed: the errno (EPERM for a directory that is not trusted or a file
// of another user, EINVAL for something that is not a regular file, ELOOP for a symbolic link,
// EMLINK for a hard link, EFBIG for a file above its size limit) and a text naming the path.
struct FileError {
    int errnum = 0;
    std::string text;

    explicit operator bool() const { return errnum != 0; }
    void set(int e, std::string t) {
        errnum = e;
        text = std::move(t);
    }
};

class TableDir {
  public:
    // reader: never creates; writer: creates what is missing when the root path may create;
    // writerExisting: as writer, creating nothing. All three trust only root and this user.
    enum class Access { reader, writer, writerExisting };
    enum class FileAccess {
        read,       // O_RDONLY
        readWrite,  // O_RDWR, the file must exist
        create,     // O_RDWR, created when missing (writer only)
    };

    // Opens the directory of `rootPath` (invariants 1 and 2). A writer creates the root (when
    // its parent exists) and the table directories when missing; the table's directory mode
    // and group come from rootPath's FileMode. Returns an invalid TableDir with `error` set
    // when it cannot: ENOENT (a directory is missing, error.text names it), EACCES, ENOTDIR,
    // ELOOP, or EPERM for a directory or symbolic link refused as untrusted (its path and
    // owner in the text).
    static TableDir open(const RootPath& rootPath, Access access, FileError& error);
    // Opens the directory `path` (absolute) as one above a root (invariants 1 and 2), such as
    // the directory a program makes a root in, creating nothing. An invalid Fd with `error`
    // set when it cannot.
    static Pimbo::Fd openAboveRoot(const std::string& path, FileError& error);
    // As open, throwing Pimbo::InvalidInitializeException with the error's text.
    static TableDir openOrThrow(const RootPath& rootPath, Access access);

    TableDir() = default;
    TableDir(TableDir&&) = default;
    TableDir& operator=(TableDir&&) = default;

    bool valid() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    // path() + "/" + name, for messages.
    std::string filePath(const std::string& name) const { return path_ + "/" + name; }
    // Owner of the table directory.
    uid_t owner() const { return owner_; }
    // This process's user owns the directory; only then may a reader write into it.
    bool ownedByMe() const;
    // The directory was removed (or moved out of its parent) since it was opened.
    bool removed() const;

    // Opens the regular file `name` (invariant 3). `mode` replaces the table's file mode for a
    // file of a special mode (the writer lock); 0 keeps it. create and readWrite set the mode
    // and group of the file when they differ. An invalid Fd with `error` set on failure
    // (ENOENT for a missing file).
    Pimbo::Fd openFile(const std::string& name, FileAccess access, FileError& error,
                       unsigned mode = 0) const;
    // Reads all of the regular file `name` into `out`; a file above `limit` bytes fails with
    // EFBIG after reading limit + 1 bytes at most.
    bool readFile(const std::string& name, size_t limit, std::string& out, FileError& error) const;
    // Writes `bytes` as the file `name` with the table's (or the given) mode through an O_EXCL
    // temporary and renameat (invariant 4).
    bool replaceFile(const std::string& name, const void* bytes, size_t size, FileError& error,
                     unsigned mode = 0) const;
    // Replaces the file `name`, which lstat showed as `expected`, by a new empty file of `mode`
    // that `prepare` (a lock, say) has handled before anyone else can open it. The two are
    // swapped in one step (renameat2 RENAME_EXCHANGE); when the file swapped out is not
    // `expected` (somebody replaced it meanwhile), they are swapped back and the call fails with
    // EAGAIN. On success the new file's descriptor (O_RDWR) is returned, the old file removed.
    Pimbo::Fd replaceUnchanged(const std::string& name, const struct stat& expected, unsigned mode,
                               const std::function<bool(int fd)>& prepare, FileError& error) const;
    // Removes the file `name`; a missing file is not an error.
    bool removeFile(const std::string& name, FileError& error) const;
    // A directory entry `name` exists (of any kind; nothing is followed or opened).
    bool exists(const std::string& name) const;
    // lstat of the entry `name`; false with errno set when there is none.
    bool statEntry(const std::string& name, struct stat& st) const;
    // The names of the real subdirectories (no symbolic links), sorted.
    std::vector<std::string> subdirectories() const;

    const FileMode& fileMode() const { return fileMode_; }

  private:
    // A new, empty temporary beside `name` (O_EXCL, never followed) with `mode` applied, open
    // for reading and writing, its name in `temp`; on failure nothing is left behind.
    Pimbo::Fd newTemporary(const std::string& name, unsigned mode, std::string& temp,
                           FileError& error) const;
    void replaceFailed(const std::string& name, const char* step, const std::string& temp, int e,
                       FileError& error) const;

    Pimbo::Fd fd_;
    std::string path_;
    uid_t owner_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    FileMode fileMode_;
};

// The root directory of `rootPath` as the kernel names it (in /proc/self/maps, say): the
// directories above it resolved as TableDir::open walks them (invariant 1). "" when open would
// refuse the way there.
std::string resolvedRoot(const RootPath& rootPath);

// "a FIFO", "a directory", ... for a st_mode, in messages.
const char* fileKindText(mode_t mode);

}  // namespace Mem
