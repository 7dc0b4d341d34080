#include "Plinth/RootPath.h"

#include "Pimbo/Exception.h"
#include "Plinth/TableDir.h"
#include "Plinth/TableName.h"

#include <filesystem>
#include <mutex>

namespace Mem {
namespace {

std::mutex rootMutex;
std::string& rootStorage() {
    static std::string* r = new std::string(std::string("/dev/shm/") + RootPath::COMMON_PREFIX);
    return *r;
}

// Appends the components of `name` to `out`. Empty and "." components are dropped; a ".."
// component is refused, so no name reaches outside the root, and so is any other component that
// breaks the name rule (Plinth/TableName.h), so no table has a name that cannot be shown.
std::string joinName(std::string out, const std::string& name) {
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    size_t i = 0;
    while (i <= name.size()) {
        size_t j = name.find('/', i);
        if (j == std::string::npos)
            j = name.size();
        std::string part = name.substr(i, j - i);
        if (part == "..") {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "table name {} may not contain '..' components", name);
        }
        const char* problem = part.empty() || part == "." ? nullptr : tableNameProblem(part);
        if (problem != nullptr) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "bad table name '{}': its component '{}' has {}", escapedName(name),
                        escapedName(part), problem);
        }
        if (!part.empty() && part != ".") {
            if (out != "/")
                out += '/';
            out += part;
        }
        i = j + 1;
    }
    return out;
}

// The root as an absolute path without "." or ".." components or a trailing '/'. Lexical only:
// TableDir resolves and checks what lies above the root when it opens a table.
std::string normalRoot(const std::string& dir) {
    if (dir.empty())
        return dir;  // refused when a table is opened
    std::error_code ec;
    std::string out = std::filesystem::absolute(dir, ec).lexically_normal().string();
    if (ec)
        out = std::filesystem::path(dir).lexically_normal().string();
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

}  // namespace

unsigned FileMode::directoryMode() const {
    const unsigned rw = mode & 0666;
    return rw | ((rw & 0444) >> 2);
}

void FileMode::check() const {
    if ((mode & ~0777u) != 0 || (mode & 0600) != 0600 || (mode & 0133) != 0) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "bad table file mode {:04o}: the owner must read and write the files and "
                    "nobody else may write or execute them (such as 0644, 0640 or 0600)",
                    mode);
    }
}

std::string RootPath::root() {
    std::lock_guard<std::mutex> lock(rootMutex);
    return rootStorage();
}

void RootPath::rootIs(const std::string& directory) {
    std::lock_guard<std::mutex> lock(rootMutex);
    rootStorage() = directory;
}

RootPath::RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& dir,
                   const std::string& prefix, const std::string& name, bool mayCreate)
    : handler_(handler.shared_from_this()),
      name_(name),
      root_(normalRoot(dir.empty() ? root() : joinName(dir, prefix))),
      directory_(joinName(root_, name)),
      mayCreate_(mayCreate) {}

RootPath::RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& name, bool mayCreate,
                   FileMode fileMode)
    : RootPath(handler, "", "", name, mayCreate) {
    fileModeIs(fileMode);
}

void RootPath::fileModeIs(const FileMode& m) {
    m.check();
    fileMode_ = m;
}

void RootPath::ensureDirectory() const {
    TableDir::openOrThrow(*this, mayCreate_ ? TableDir::Access::writer : TableDir::Access::reader);
}

bool RootPath::removeFile(const std::string& file) const {
    PIMBO_TRACE_TO(*handler_, "RootPath", 3, "removing file: {}", filePath(file));
    FileError error;
    const TableDir dir = TableDir::open(
        *this, mayCreate_ ? TableDir::Access::writerExisting : TableDir::Access::reader, error);
    if (dir.valid() && dir.removeFile(file, error))
        return true;
    if (error.errnum == ENOENT)
        return true;  // no directory: no file either
    PIMBO_TRACE_TO(*handler_, "RootPath", 0, "cannot remove {}: {}", filePath(file), error.text);
    return false;
}

}  // namespace Mem
