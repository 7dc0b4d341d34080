// A private table root for one test: a fresh directory under /dev/shm, made the process's root
// while the test runs, removed afterwards.
#pragma once

#include "Mem/RootPath.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace VeskTest {

class TestRoot {
  public:
    TestRoot() : previous_(Mem::RootPath::root()) {
        std::string pattern = "/dev/shm/vesk-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        dir_ = pattern;
        Mem::RootPath::rootIs(dir_);
    }
    ~TestRoot() {
        Mem::RootPath::rootIs(previous_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }
    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }

  private:
    std::string previous_;
    std::string dir_;
};

}  // namespace VeskTest
