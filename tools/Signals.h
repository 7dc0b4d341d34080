// Stopping on SIGINT and SIGTERM: the handler only records the signal; the command's loop sees
// it between two operations and finishes cleanly (a writer detaches and leaves valid files, a
// watch prints nothing half-done). A table operation is therefore never interrupted midway.
//
// A table file cut short while it is mapped (by someone who may write it) makes the next read
// of the lost pages raise SIGBUS. A reader's mapping is guarded by the library
// (Mem/MappingRegistry.h): the read fails with "... shrank under the reader" and the command
// ends with status 3 as for any table it cannot read. What the guard does not answer (a
// writer's own mapping) reaches the tool's handler, which names the file from
// Mem::MappingRegistry, says "... shrank under the reader" on stderr and ends the process with
// status 3 (kTable): only async-signal-safe calls (write, _exit).
#pragma once

#include "Mem/MappingRegistry.h"

#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>

namespace VeskTool {

inline volatile std::sig_atomic_t gStopSignal = 0;

extern "C" inline void recordStopSignal(int signal) {
    gStopSignal = signal;
}

// Installs the handler for SIGINT and SIGTERM (without SA_RESTART, so sleeps end early).
inline void stopOnSignals() {
    struct sigaction action {};
    action.sa_handler = recordStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// "vesk dump", the command whose SIGBUS is reported.
inline char gBusCommand[64];

extern "C" inline void reportShrunkFile(int, siginfo_t* info, void*) {
    char path[Mem::MappingRegistry::kPathSize];
    if (!Mem::MappingRegistry::find(info->si_addr, path, sizeof path))
        std::strcpy(path, "a mapped table file");
    const char* parts[] = {gBusCommand, ": ", path,
                           " shrank under the reader (another process cut the file short)\n"};
    for (const char* part : parts) {
        if (::write(STDERR_FILENO, part, std::strlen(part)) < 0)
            break;
    }
    ::_exit(3);
}

// Installs the SIGBUS report for `command` (also in the processes it forks).
inline void reportShrunkFiles(const char* command) {
    std::strncpy(gBusCommand, command, sizeof gBusCommand - 1);
    struct sigaction action {};
    action.sa_sigaction = reportShrunkFile;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGBUS, &action, nullptr);
}

inline bool stopRequested() {
    return gStopSignal != 0;
}

// "SIGINT", "SIGTERM" or "" for the signal that asked to stop.
inline const char* stopSignalName() {
    return gStopSignal == SIGINT ? "SIGINT" : gStopSignal == SIGTERM ? "SIGTERM" : "";
}

// Seconds on the monotonic clock.
inline double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// Sleeps `seconds` in steps of at most 50 ms; false when a stop signal came first.
inline bool sleepUnlessStopped(double seconds) {
    const double end = monotonicSeconds() + seconds;
    for (;;) {
        if (stopRequested())
            return false;
        const double left = end - monotonicSeconds();
        if (left <= 0)
            return true;
        const double step = left < 0.05 ? left : 0.05;
        timespec ts{time_t(step), long((step - double(time_t(step))) * 1e9)};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace VeskTool
