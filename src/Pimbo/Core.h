// Core files: what of this process's memory goes into its core dump.
#pragma once

#include <cstddef>

namespace Pimbo::Util {

// Makes the tables' shared files part of this process's core file: every shared file mapping
// whose file lies below Mem::RootPath::root() is advised MADV_DODUMP, and the process's
// coredump_filter is widened to file-backed shared mappings (bit 3), without which the kernel
// leaves such mappings out whatever madvise says. Returns the number of mappings marked.
size_t includeShmemInCore();

}  // namespace Pimbo::Util
