// Mem::Shared: process-wide settings of the shared-memory services.
#pragma once

namespace Mem {

class Shared {
  public:
    // Whether the tables' shared regions should go into this process's core file (set by a
    // writer that stops on an inconsistent table, to keep the evidence). Off by default.
    static void dumpToCoreIs(bool dumpToCore);
    static bool dumpToCore();
};

}  // namespace Mem
