#include "Hova/EventWriter.h"

#include <atomic>
#include <mutex>

namespace Hova {
namespace {

class ProcessEventWriter : public EventWriter {
  public:
    uint64_t* counter(const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        // Map nodes never move, so the value's address is stable (invariant 1).
        return &counters_.try_emplace(name, 0).first->second;
    }

    std::map<std::string, uint64_t> snapshot() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, uint64_t> out;
        for (auto& [name, value] : counters_) {
            out.emplace(name, load(value));
        }
        return out;
    }

    uint64_t value(const std::string& name) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = counters_.find(name);
        return it == counters_.end() ? 0 : load(it->second);
    }

  private:
    static uint64_t load(const uint64_t& v) {
        return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(v)).load(std::memory_order_relaxed);
    }

    mutable std::mutex mutex_;
    std::map<std::string, uint64_t> counters_;
};

}  // namespace

EventWriter& writer() {
    static EventWriter* w = new ProcessEventWriter;  // never destroyed: counters outlive statics
    return *w;
}

}  // namespace Hova
