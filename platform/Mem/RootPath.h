// RootPath: the directory that holds the files of one table.
//
// Tables live under one root directory per process, by default "/dev/shm/" COMMON_PREFIX (tmpfs:
// real shared memory). A program moves it with rootIs(). A table's name maps to a subdirectory of
// the root; writers create it when missing, readers and placeholders never create anything.
#pragma once

#include "Pimbo/Debug.h"

#include <memory>
#include <string>

namespace Mem {

class RootPath {
  public:
    static constexpr const char* COMMON_PREFIX = "vesk";

    // The process's root directory for tables ("/dev/shm/vesk" unless changed).
    static std::string root();
    // Changes the root directory for tables opened from now on.
    static void rootIs(const std::string& directory);

    // dir/prefix/name; an empty dir means the process's root (prefix then ignored).
    RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& dir,
             const std::string& prefix, const std::string& name, bool mayCreate);
    // The table `name` under the process's root.
    RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& name, bool mayCreate);

    const std::string& name() const { return name_; }
    const std::string& directory() const { return directory_; }
    bool mayCreate() const { return mayCreate_; }
    std::string filePath(const std::string& file) const { return directory_ + "/" + file; }
    bool fileExists(const std::string& file) const;

    // Creates the directory (and its parents) when missing. Throws
    // Pimbo::InvalidInitializeException naming the directory when it cannot, or when this path
    // may not create.
    void ensureDirectory() const;
    // Removes one file of the table; a missing file is not an error. Traces at level 3.
    void removeFile(const std::string& file) const;

    std::string toString() const { return directory_; }

  protected:
    std::shared_ptr<Pimbo::Platform::DebugHandler> handler_;
    std::string name_;
    std::string directory_;
    bool mayCreate_;
};

}  // namespace Mem
