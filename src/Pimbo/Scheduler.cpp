#include "Pimbo/Scheduler.h"

#include <algorithm>
#include <chrono>

namespace Pimbo {

namespace Rdtsc {
uint64_t now() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}
const double calibrationRate = 1e9;
}  // namespace Rdtsc

uint64_t Scheduler::criticalTaskIs(Task task) {
    tasks_.push_back(Entry{nextId_, std::move(task)});
    return nextId_++;
}

void Scheduler::criticalTaskDel(uint64_t id) {
    tasks_.erase(
        std::remove_if(tasks_.begin(), tasks_.end(), [id](const Entry& e) { return e.id == id; }),
        tasks_.end());
}

void Scheduler::runCriticalPriorityTasks() {
    ++runs_;
    // A task may register or remove tasks: run over a snapshot.
    std::vector<Entry> snapshot = tasks_;
    for (auto& e : snapshot)
        e.task();
}

Scheduler& schedulerRootPimbo() {
    static Scheduler s;
    return s;
}

}  // namespace Pimbo
