#include "Mem/RootPath.h"

#include "Pimbo/Exception.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace Mem {
namespace {

std::mutex rootMutex;
std::string& rootStorage() {
    static std::string* r = new std::string(std::string("/dev/shm/") + RootPath::COMMON_PREFIX);
    return *r;
}

// Joins a table name below a directory. Empty and "." components are dropped; a ".."
// component is refused, so no name reaches outside the root.
std::string joinName(const std::string& dir, const std::string& name) {
    std::string out = dir;
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
        if (!part.empty() && part != ".") {
            out += '/';
            out += part;
        }
        i = j + 1;
    }
    return out;
}

}  // namespace

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
      directory_(joinName(dir.empty() ? root() : joinName(dir, prefix), name)),
      mayCreate_(mayCreate) {}

RootPath::RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& name, bool mayCreate)
    : RootPath(handler, "", "", name, mayCreate) {}

bool RootPath::fileExists(const std::string& file) const {
    struct stat st;
    return ::stat(filePath(file).c_str(), &st) == 0;
}

void RootPath::ensureDirectory() const {
    struct stat st;
    if (::stat(directory_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    if (!mayCreate_) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "table directory {} does not exist",
                    directory_);
    }
    for (size_t pos = 1; pos <= directory_.size(); ++pos) {
        if (pos != directory_.size() && directory_[pos] != '/')
            continue;
        std::string part = directory_.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot create table directory {} (at {}): {}", directory_, part,
                        std::strerror(errno));
        }
    }
    if (::stat(directory_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "cannot create table directory {}: a file of that name is in the way",
                    directory_);
    }
}

void RootPath::removeFile(const std::string& file) const {
    const std::string path = filePath(file);
    PIMBO_TRACE_TO(*handler_, "RootPath", 3, "removing file: {}", path);
    ::unlink(path.c_str());
}

}  // namespace Mem
