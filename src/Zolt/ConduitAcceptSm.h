// Zolt::ConduitAcceptSm: the conduit of this process, through which readers find the writer that
// owns a table.
//
// Only the conduit's name is provided here; no socket is opened. The name is "PID:STARTTIME",
// STARTTIME being the process's start time in clock ticks since boot (field 22 of
// /proc/PID/stat). The pair names one process for the life of the host: a pid that the kernel
// hands out again belongs to a process with a later start time, so a stale name is never taken
// for a live process.
//
// Any thread may call; a forked child gets its own name.
#pragma once

#include <cstdint>
#include <string>

namespace Zolt {

class ConduitAcceptSm {
  public:
    // This process's conduit name "PID:STARTTIME". The reference stays valid for the calling
    // thread; after fork the child sees its own name.
    static const std::string& socketName();
};

// The start time (clock ticks since boot) of process `pid` from /proc/PID/stat. Returns false
// when the process does not exist (or is a zombie, which no longer runs) or the file cannot be
// parsed; `error` then says why.
bool processStartTime(uint64_t pid, uint64_t& startTime, std::string& error);

}  // namespace Zolt
