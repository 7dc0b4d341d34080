#include "Plinth/TableDir.h"

#include "Pimbo/Exception.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace Mem {
namespace {

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i)
            out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string parentOf(const std::string& dir) {
    const size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : dir.substr(0, slash);
}

// One directory on the way from "/" to the table directory.
struct Step {
    std::string path;
    bool strict;  // the root or below: writable by its owner alone, never a symbolic link
    struct stat st;
};

const char* stepKind(const Step& s, bool last) {
    return last ? "table directory" : s.strict ? "directory" : "directory above the root";
}

// Why `s` may not be trusted ("" when it may): it belongs to root or to this process's user,
// and only its owner may write it (above the root, a sticky directory may be written by others).
std::string distrust(const Step& s, uid_t me) {
    const uid_t uid = s.st.st_uid;
    if (uid != 0 && uid != me)
        return fmt::format("it belongs to uid {}, neither this user (uid {}) nor root", uid, me);
    const unsigned mode = s.st.st_mode & 07777;
    if ((mode & 022) != 0 && (s.strict || (mode & S_ISVTX) == 0))
        return fmt::format("mode {:04o} lets others than its owner write it", mode);
    return "";
}

bool checkTrust(const Step& s, bool last, uid_t me, FileError& error) {
    const std::string why = distrust(s, me);
    if (why.empty())
        return true;
    error.set(EPERM, fmt::format("refusing untrusted {} {} (owner uid {}, mode {:04o}): {}",
                                 stepKind(s, last), s.path, unsigned(s.st.st_uid),
                                 unsigned(s.st.st_mode & 07777), why));
    return false;
}

// As many symbolic links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

// Opens the directory `path`, which lies above a root, into `dir`, its path with every symbolic
// link resolved into `resolved`. The walk goes component by component from "/": each directory
// is trusted (distrust) before anything in it is looked at, and a symbolic link is followed only
// when root or this user owns it; another user's link, even in a sticky directory, could send
// this process into any directory. In a trusted directory only root or this user can replace a
// link between the look at its owner and the read of its target (a sticky directory keeps others
// from removing it). Nothing is created: a missing directory is ENOENT naming it.
bool openAbove(const std::string& path, Pimbo::Fd& dir, std::string& resolved, FileError& error) {
    const uid_t me = ::geteuid();
    std::vector<std::pair<std::string, Pimbo::Fd>>
        walked;  // "/" first, then each directory entered
    walked.emplace_back("/", Pimbo::Fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!walked.back().second) {
        error.set(errno, fmt::format("cannot open /: {}", std::strerror(errno)));
        return false;
    }
    std::vector<std::string> todo = components(path);  // in reverse: the next one last
    std::reverse(todo.begin(), todo.end());
    for (int links = 0; !todo.empty();) {
        const std::string name = std::move(todo.back());
        todo.pop_back();
        if (name == ".")
            continue;
        if (name == "..") {
            if (walked.size() > 1)
                walked.pop_back();
            continue;
        }
        const int at = walked.back().second.get();
        Step s{join(walked.back().first, name), false, {}};
        Pimbo::Fd next(::openat(at, name.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!next) {
            const int e = errno;
            struct stat lst;
            if (e == ENOENT) {
                error.set(ENOENT, fmt::format("directory {} does not exist", s.path));
            } else if ((e != ELOOP && e != ENOTDIR) ||
                       ::fstatat(at, name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) != 0) {
                error.set(e, fmt::format("cannot open directory {}: {}", s.path, std::strerror(e)));
            } else if (!S_ISLNK(lst.st_mode)) {
                error.set(ENOTDIR, fmt::format("{} is {}, not a directory", s.path,
                                               fileKindText(lst.st_mode)));
            } else if (lst.st_uid != 0 && lst.st_uid != me) {
                error.set(EPERM,
                          fmt::format("refusing untrusted symbolic link {} (owner uid {}): it "
                                      "belongs to uid {}, neither this user (uid {}) nor root",
                                      s.path, unsigned(lst.st_uid), unsigned(lst.st_uid), me));
            } else if (++links > kMaxLinks) {
                error.set(ELOOP, fmt::format("too many symbolic links on the way to {}", path));
            } else {
                char target[PATH_MAX];
                const ssize_t n = ::readlinkat(at, name.c_str(), target, sizeof target);
                if (n <= 0 || size_t(n) >= sizeof target) {
                    error.set(n < 0 ? errno : ENAMETOOLONG,
                              fmt::format("cannot read symbolic link {}: {}", s.path,
                                          std::strerror(n < 0 ? errno : ENAMETOOLONG)));
                    return false;
                }
                const std::string to(target, size_t(n));
                if (to.front() == '/')
                    walked.resize(1);
                const std::vector<std::string> more = components(to);
                todo.insert(todo.end(), more.rbegin(), more.rend());
                continue;
            }
            return false;
        }
        if (::fstat(next.get(), &s.st) != 0) {
            error.set(errno,
                      fmt::format("cannot stat directory {}: {}", s.path, std::strerror(errno)));
            return false;
        }
        if (!checkTrust(s, false, me, error))
            return false;
        walked.emplace_back(s.path, std::move(next));
    }
    resolved = walked.back().first;
    dir = std::move(walked.back().second);
    return true;
}

uint64_t unpredictable() {
    uint64_t r = 0;
    if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != ssize_t(sizeof r)) {
        r = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) *
                0x9E3779B97F4A7C15ull ^
            uint64_t(::getpid()) << 32;
    }
    return r;
}

bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool writeAll(int fd, const void* bytes, size_t size) {
    const char* p = static_cast<const char*>(bytes);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// Gives a file or directory the mode and group the table asks for; false with errno set.
bool applyMode(int fd, const struct stat& st, unsigned mode, int64_t group) {
    if ((st.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0)
        return false;
    if (group != FileMode::kNoGroup && st.st_gid != gid_t(group) &&
        ::fchown(fd, uid_t(-1), gid_t(group)) != 0)
        return false;
    return true;
}

}  // namespace

const char* fileKindText(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFLNK:
            return "a symbolic link";
        case S_IFIFO:
            return "a FIFO";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        default:
            return "of an unknown kind";
    }
}

namespace {

// Opens where the walk to a table starts: the directory above the root (walked as it is, never
// created, since it is shared with others) into `dir`, its resolved path into `at`; "/" itself
// for the root "/".
bool openStart(const std::string& root, bool create, Pimbo::Fd& dir, std::string& at,
               FileError& error) {
    at = "/";
    if (root == "/") {
        dir.reset(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir)
            error.set(errno, fmt::format("cannot open /: {}", std::strerror(errno)));
        return static_cast<bool>(dir);
    }
    if (openAbove(parentOf(root), dir, at, error))
        return true;
    if (create && error.errnum == ENOENT)
        error.text += fmt::format(
            " (a writer creates the root {} only in an existing "
            "directory)",
            root);
    return false;
}

// The directories from the root (its last component) down to the table directory, below the
// resolved `at`.
std::vector<Step> stepsBelow(const RootPath& rootPath, std::string at) {
    const std::string& root = rootPath.rootDirectory();
    std::vector<Step> steps;
    if (root != "/")
        steps.push_back(Step{at = join(at, root.substr(root.rfind('/') + 1)), true, {}});
    for (const std::string& c : components(rootPath.directory().substr(root.size())))
        steps.push_back(Step{at = join(at, c), true, {}});
    return steps;
}

// Why the directory `name` of `s` could not be opened (errno `e`): a symbolic link or another
// kind of file in its place, a missing directory, or the system's reason.
void refuseStep(int dir, const std::string& name, const Step& s, int e, FileError& error) {
    struct stat lst;
    if ((e == ELOOP || e == ENOTDIR) &&
        ::fstatat(dir, name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(lst.st_mode))
            error.set(EPERM, fmt::format("refusing directory {}: it is a symbolic link", s.path));
        else
            error.set(ENOTDIR,
                      fmt::format("{} is {}, not a directory", s.path, fileKindText(lst.st_mode)));
    } else if (e == ENOENT) {
        error.set(e, fmt::format("directory {} does not exist", s.path));
    } else {
        error.set(e, fmt::format("cannot open directory {}: {}", s.path, std::strerror(e)));
    }
}

// Opens the directory of step `s` below `dir` (never following a symbolic link), creating it
// with `dirMode` when `create` and missing; `made` tells whether it did.
Pimbo::Fd openOrMake(int dir, const Step& s, bool create, unsigned dirMode, bool& made,
                     FileError& error) {
    const std::string name = s.path.substr(s.path.rfind('/') + 1);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    made = false;
    Pimbo::Fd next(::openat(dir, name.c_str(), flags));
    if (!next && errno == ENOENT && create) {
        if (::mkdirat(dir, name.c_str(), dirMode) == 0) {
            made = true;
        } else if (errno != EEXIST) {
            error.set(errno,
                      fmt::format("cannot create directory {}: {}", s.path, std::strerror(errno)));
            return next;
        }
        next.reset(::openat(dir, name.c_str(), flags));
    }
    if (!next)
        refuseStep(dir, name, s, errno, error);
    return next;
}

// Enters step `s` (the table directory when `last`) from `dir`: opens or makes it, trusts it
// before anything in it is changed, created or opened, and gives a directory this process made
// (or its own table directory, at a writer's every start) the mode and group it should have.
Pimbo::Fd enterStep(int dir, Step& s, bool last, bool create, const FileMode& fm,
                    FileError& error) {
    const uid_t me = ::geteuid();
    // The table directory follows the files' mode; the directories above it, shared with other
    // tables, get the default one.
    const unsigned dirMode = last ? fm.directoryMode() : FileMode().directoryMode();
    bool made = false;
    Pimbo::Fd next = openOrMake(dir, s, create, dirMode, made, error);
    if (!next)
        return next;
    if (::fstat(next.get(), &s.st) != 0) {
        error.set(errno, fmt::format("cannot stat directory {}: {}", s.path, std::strerror(errno)));
        return Pimbo::Fd();
    }
    if (!made && !checkTrust(s, last, me, error))
        return Pimbo::Fd();
    // The umask only narrowed the mode mkdirat was given.
    if ((made || (last && create && s.st.st_uid == me)) &&
        (!applyMode(next.get(), s.st, dirMode, last ? fm.group : FileMode::kNoGroup) ||
         ::fstat(next.get(), &s.st) != 0)) {
        error.set(errno, fmt::format("cannot set mode {:04o} on directory {}: {}", dirMode, s.path,
                                     std::strerror(errno)));
        return Pimbo::Fd();
    }
    if (made && !checkTrust(s, last, me, error))
        return Pimbo::Fd();
    return next;
}

}  // namespace

TableDir TableDir::open(const RootPath& rootPath, Access access, FileError& error) {
    error = FileError();
    TableDir out;
    const std::string& root = rootPath.rootDirectory();
    if (root.empty() || root.front() != '/') {
        error.set(EINVAL, fmt::format("no root directory for table {}", rootPath.name()));
        return out;
    }
    const bool create = access == Access::writer && rootPath.mayCreate();
    const FileMode& fm = rootPath.fileMode();
    // The root (made by a writer when missing) and all below it are reached without following
    // any symbolic link.
    Pimbo::Fd dir;
    std::string at;
    if (!openStart(root, create, dir, at, error))
        return out;
    std::vector<Step> steps = stepsBelow(rootPath, at);
    for (size_t i = 0; i < steps.size(); ++i) {
        Pimbo::Fd next = enterStep(dir.get(), steps[i], i + 1 == steps.size(), create, fm, error);
        if (!next)
            return out;
        dir = std::move(next);
    }
    struct stat top;
    if (steps.empty()) {
        if (::fstat(dir.get(), &top) != 0) {
            error.set(errno, fmt::format("cannot stat /: {}", std::strerror(errno)));
            return out;
        }
    } else {
        top = steps.back().st;
    }
    out.fd_ = std::move(dir);
    out.path_ = rootPath.directory();
    out.owner_ = top.st_uid;
    out.dev_ = top.st_dev;
    out.ino_ = top.st_ino;
    out.fileMode_ = fm;
    return out;
}

Pimbo::Fd TableDir::openAboveRoot(const std::string& path, FileError& error) {
    error = FileError();
    Pimbo::Fd dir;
    std::string resolved;
    if (path.empty() || path.front() != '/')
        error.set(EINVAL, fmt::format("directory {} is not an absolute path", path));
    else
        openAbove(path, dir, resolved, error);
    return dir;
}

std::string resolvedRoot(const RootPath& rootPath) {
    const std::string& root = rootPath.rootDirectory();
    if (root.empty() || root.front() != '/' || root == "/")
        return root;
    Pimbo::Fd dir;
    std::string above;
    FileError error;
    if (!openAbove(parentOf(root), dir, above, error))
        return "";
    return join(above, root.substr(root.rfind('/') + 1));
}

TableDir TableDir::openOrThrow(const RootPath& rootPath, Access access) {
    FileError error;
    TableDir dir = open(rootPath, access, error);
    if (!dir.valid()) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot open table directory {}: {}",
                    rootPath.directory(), error.text);
    }
    return dir;
}

bool TableDir::ownedByMe() const {
    return valid() && owner_ == ::geteuid();
}

bool TableDir::removed() const {
    struct stat st;
    if (!valid() || ::fstat(fd_.get(), &st) != 0 || st.st_nlink == 0)
        return true;
    struct stat atPath;
    return ::fstatat(AT_FDCWD, path_.c_str(), &atPath, AT_SYMLINK_NOFOLLOW) != 0 ||
           atPath.st_dev != dev_ || atPath.st_ino != ino_;
}

bool TableDir::statEntry(const std::string& name, struct stat& st) const {
    return valid() && plainName(name) &&
           ::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool TableDir::exists(const std::string& name) const {
    struct stat st;
    return statEntry(name, st);
}

Pimbo::Fd TableDir::openFile(const std::string& name, FileAccess access, FileError& error,
                             unsigned mode) const {
    error = FileError();
    const std::string path = filePath(name);
    if (!valid() || !plainName(name)) {
        error.set(EINVAL, fmt::format("bad file name {}", path));
        return Pimbo::Fd();
    }
    const unsigned want = mode != 0 ? mode : fileMode_.mode;
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat st;
        const bool exists = ::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            error.set(errno, fmt::format("cannot stat {}: {}", path, std::strerror(errno)));
            return Pimbo::Fd();
        }
        // Looked at before it is opened: a FIFO or device is never opened at all.
        if (exists && !S_ISREG(st.st_mode)) {
            error.set(S_ISLNK(st.st_mode) ? ELOOP : EINVAL,
                      fmt::format("{} is {}, not a regular file", path, fileKindText(st.st_mode)));
            return Pimbo::Fd();
        }
        if (!exists && access != FileAccess::create) {
            error.set(ENOENT, fmt::format("{} does not exist", path));
            return Pimbo::Fd();
        }
        int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
        flags |= access == FileAccess::read ? O_RDONLY : O_RDWR;
        if (!exists)
            flags |= O_CREAT | O_EXCL;
        Pimbo::Fd f(::openat(fd_.get(), name.c_str(), flags, want));
        if (!f) {
            if (errno == EEXIST || errno == ENOENT)
                continue;  // created or removed between the look and the open: look again
            error.set(errno, errno == ELOOP
                                 ? fmt::format("{} is a symbolic link, not a regular file", path)
                                 : fmt::format("cannot open {}: {}", path, std::strerror(errno)));
            return Pimbo::Fd();
        }
        if (::fstat(f.get(), &st) != 0) {
            error.set(errno, fmt::format("cannot stat {}: {}", path, std::strerror(errno)));
            return Pimbo::Fd();
        }
        if (!S_ISREG(st.st_mode)) {
            error.set(EINVAL,
                      fmt::format("{} is {}, not a regular file", path, fileKindText(st.st_mode)));
            return Pimbo::Fd();
        }
        if (st.st_nlink != 1) {
            error.set(EMLINK, fmt::format("{} has {} hard links; a table's file has one", path,
                                          unsigned(st.st_nlink)));
            return Pimbo::Fd();
        }
        // Only root or this user could have made it in a trusted directory; anyone else's
        // file was planted, and its owner may still hold it open for writing.
        if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
            error.set(EPERM,
                      fmt::format("{} belongs to uid {}, neither this user (uid {}) nor root", path,
                                  unsigned(st.st_uid), unsigned(::geteuid())));
            return Pimbo::Fd();
        }
        if (access != FileAccess::read && !applyMode(f.get(), st, want, fileMode_.group)) {
            error.set(errno, fmt::format("cannot set mode {:04o} on {}: {}", want, path,
                                         std::strerror(errno)));
            return Pimbo::Fd();
        }
        return f;
    }
    error.set(EAGAIN, fmt::format("{} keeps changing while it is opened", path));
    return Pimbo::Fd();
}

bool TableDir::readFile(const std::string& name, size_t limit, std::string& out,
                        FileError& error) const {
    out.clear();
    Pimbo::Fd f = openFile(name, FileAccess::read, error);
    if (!f)
        return false;
    char buffer[4096];
    for (;;) {
        const size_t want = std::min(sizeof buffer, limit + 1 - out.size());
        const ssize_t n = ::read(f.get(), buffer, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error.set(errno,
                      fmt::format("cannot read {}: {}", filePath(name), std::strerror(errno)));
            return false;
        }
        if (n == 0)
            return true;
        out.append(buffer, size_t(n));
        if (out.size() > limit) {
            error.set(EFBIG, fmt::format("{} is larger than {} bytes", filePath(name), limit));
            return false;
        }
    }
}

Pimbo::Fd TableDir::newTemporary(const std::string& name, unsigned mode, std::string& temp,
                                 FileError& error) const {
    error = FileError();
    if (!valid() || !plainName(name)) {
        error.set(EINVAL, fmt::format("bad file name {}", filePath(name)));
        return Pimbo::Fd();
    }
    temp = fmt::format(".{}.tmp-{:016x}", name, unpredictable());
    Pimbo::Fd f(::openat(fd_.get(), temp.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!f) {
        replaceFailed(name, "create", temp, errno, error);
        return Pimbo::Fd();
    }
    struct stat st;
    if (::fstat(f.get(), &st) != 0 || !applyMode(f.get(), st, mode, fileMode_.group)) {
        const int e = errno;
        ::unlinkat(fd_.get(), temp.c_str(), 0);
        replaceFailed(name, "set the mode of", temp, e, error);
        return Pimbo::Fd();
    }
    return f;
}

void TableDir::replaceFailed(const std::string& name, const char* step, const std::string& temp,
                             int e, FileError& error) const {
    error.set(e, fmt::format("cannot replace {}: {} of {} failed: {}", filePath(name), step,
                             filePath(temp), std::strerror(e)));
}

bool TableDir::replaceFile(const std::string& name, const void* bytes, size_t size,
                           FileError& error, unsigned mode) const {
    std::string temp;
    Pimbo::Fd f = newTemporary(name, mode != 0 ? mode : fileMode_.mode, temp, error);
    if (!f)
        return false;
    const char* step = nullptr;
    int e = 0;
    if (!writeAll(f.get(), bytes, size)) {
        step = "write";
        e = errno;
    } else if (::close(f.release()) != 0) {
        step = "close";
        e = errno;
    } else if (::renameat(fd_.get(), temp.c_str(), fd_.get(), name.c_str()) != 0) {
        step = "rename";
        e = errno;
    }
    if (step == nullptr)
        return true;
    ::unlinkat(fd_.get(), temp.c_str(), 0);
    replaceFailed(name, step, temp, e, error);
    return false;
}

Pimbo::Fd TableDir::replaceUnchanged(const std::string& name, const struct stat& expected,
                                     unsigned mode, const std::function<bool(int fd)>& prepare,
                                     FileError& error) const {
    std::string temp;
    Pimbo::Fd f = newTemporary(name, mode, temp, error);
    if (!f)
        return Pimbo::Fd();
    const char* step = nullptr;
    int e = 0;
    struct stat st;
    if (!prepare(f.get())) {
        step = "prepare";
        e = errno != 0 ? errno : EAGAIN;
    } else if (::renameat2(fd_.get(), temp.c_str(), fd_.get(), name.c_str(), RENAME_EXCHANGE) !=
               0) {
        step = "swap";
        e = errno;
    } else if (::fstatat(fd_.get(), temp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
               st.st_dev != expected.st_dev || st.st_ino != expected.st_ino) {
        // Somebody replaced the file first; theirs goes back where it was.
        step = "swap";
        e = EAGAIN;
        ::renameat2(fd_.get(), temp.c_str(), fd_.get(), name.c_str(), RENAME_EXCHANGE);
    }
    ::unlinkat(fd_.get(), temp.c_str(), 0);
    if (step != nullptr) {
        replaceFailed(name, step, temp, e, error);
        return Pimbo::Fd();
    }
    return f;
}

bool TableDir::removeFile(const std::string& name, FileError& error) const {
    error = FileError();
    if (!valid() || !plainName(name)) {
        error.set(EINVAL, fmt::format("bad file name {}", filePath(name)));
        return false;
    }
    if (::unlinkat(fd_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        error.set(errno, fmt::format("cannot remove {}: {}", filePath(name), std::strerror(errno)));
        return false;
    }
    return true;
}

std::vector<std::string> TableDir::subdirectories() const {
    std::vector<std::string> names;
    if (!valid())
        return names;
    Pimbo::Fd copy(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = copy ? ::fdopendir(copy.get()) : nullptr;
    if (d == nullptr)
        return names;
    copy.release();  // closedir closes it
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        struct stat st;
        if (n != "." && n != ".." && statEntry(n, st) && S_ISDIR(st.st_mode))
            names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace Mem
