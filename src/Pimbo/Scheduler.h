// Time-stamp counter and the critical-priority tasks that long writer operations yield to.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace Pimbo {

namespace Rdtsc {
// Current value of the time-stamp counter (nanoseconds of the monotonic clock).
uint64_t now();
// Ticks of now() per second.
extern const double calibrationRate;
}  // namespace Rdtsc

class Scheduler {
  public:
    using Task = std::function<void()>;

    // Registers a task; returns its id.
    uint64_t criticalTaskIs(Task task);
    void criticalTaskDel(uint64_t id);
    // Runs every registered task once, in registration order.
    void runCriticalPriorityTasks();
    uint64_t runs() const { return runs_; }

  private:
    struct Entry {
        uint64_t id;
        Task task;
    };
    std::vector<Entry> tasks_;
    uint64_t nextId_ = 1;
    uint64_t runs_ = 0;
};

// The process's scheduler.
Scheduler& schedulerRootPimbo();

}  // namespace Pimbo
