// RootPath: the directory that holds the files of one table.
//
// Tables live under one root directory per process, by default "/dev/shm/" COMMON_PREFIX (tmpfs:
// real shared memory). A program moves it with rootIs(). A table's name is a relative path of
// plain names below the root; writers create the directories when missing, readers and
// placeholders never create anything. Every file below is reached through Mem::TableDir.
#pragma once

#include "Pimbo/Debug.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Mem {

// How a writer creates a table's files and directories. Defaults: files 0644, directories 0755,
// the creating process's group.
struct FileMode {
    static constexpr unsigned kDefault = 0644;
    static constexpr int64_t kNoGroup = -1;

    unsigned mode = kDefault;  // permission bits of the table's files
    int64_t group = kNoGroup;  // group of the files and directories made; kNoGroup keeps it

    // Each read bit of the files' mode brings the matching search bit: 0644 -> 0755,
    // 0640 -> 0750, 0600 -> 0700.
    unsigned directoryMode() const;
    // Throws Pimbo::InvalidInitializeException unless the owner may read and write the files
    // and nobody else may write or execute them.
    void check() const;
    friend bool operator==(const FileMode&, const FileMode&) = default;
};

class RootPath {
  public:
    static constexpr const char* COMMON_PREFIX = "vesk";

    // The process's root directory for tables ("/dev/shm/vesk" unless changed).
    static std::string root();
    // Changes the root directory for tables opened from now on.
    static void rootIs(const std::string& directory);

    // dir/prefix/name; an empty dir means the process's root (prefix then ignored). A name with
    // a ".." component is refused with Pimbo::InvalidInitializeException.
    RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& dir,
             const std::string& prefix, const std::string& name, bool mayCreate);
    // The table `name` under the process's root.
    RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& name, bool mayCreate,
             FileMode fileMode = FileMode());

    const std::string& name() const { return name_; }
    // The table's directory: rootDirectory() followed by the name's components.
    const std::string& directory() const { return directory_; }
    // The root the table lies in, absolute and without "." or ".." components.
    const std::string& rootDirectory() const { return root_; }
    bool mayCreate() const { return mayCreate_; }
    const FileMode& fileMode() const { return fileMode_; }
    void fileModeIs(const FileMode& m);
    std::string filePath(const std::string& file) const { return directory_ + "/" + file; }
    Pimbo::Platform::DebugHandler& debugHandler() const { return *handler_; }

    // Creates the directory (and the root) when missing and this path may create, and checks
    // that they may be trusted. Throws Pimbo::InvalidInitializeException naming the directory
    // when it cannot.
    void ensureDirectory() const;
    // Removes one file of the table; a missing file is not an error. Traces at level 3; false
    // (traced at level 0 with the reason) when the file is there and cannot be removed.
    bool removeFile(const std::string& file) const;

    std::string toString() const { return directory_; }

  protected:
    std::shared_ptr<Pimbo::Platform::DebugHandler> handler_;
    std::string name_;
    std::string root_;
    std::string directory_;
    bool mayCreate_;
    FileMode fileMode_;
};

}  // namespace Mem

namespace Vesk {

// Vesk::RootPath: the directory and printable name of one table.
class RootPath : public Mem::RootPath {
  public:
    // The table `name` under the process's root; mayCreate is true for writers only.
    RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& name, bool mayCreate,
             Mem::FileMode fileMode = Mem::FileMode())
        : Mem::RootPath(handler, name, mayCreate, fileMode) {}

    // The short printable name of the table: its name as given.
    const std::string& veskName() const { return name(); }
};

}  // namespace Vesk
