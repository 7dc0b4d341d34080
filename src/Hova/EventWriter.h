// Hova::writer(): the process's event writer, a registry of named 64-bit event counters.
//
// A component asks once for the address of each of its counters and increments it in place
// afterwards (a plain 64-bit increment, no call). Tools read all counters with snapshot().
//
// Concurrency contract:
//   - counter() may be called from any thread (the registry is locked).
//   - Each counter is incremented by the thread that owns the component that counts; snapshot()
//     reads the values with relaxed atomic loads, so a tool reading on another thread sees each
//     value whole, possibly a little old.
// Invariants:
//   1. A counter's address never changes and stays valid for the life of the process: the same
//      name always gives the same address.
//   2. A counter starts at 0 and is never reset or removed.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Hova {

class EventWriter {
  public:
    virtual ~EventWriter() = default;
    // The address of the counter named `name`, registered (at 0) on first use.
    virtual uint64_t* counter(const std::string& name) = 0;
    // Every counter's name and current value.
    virtual std::map<std::string, uint64_t> snapshot() const = 0;
    // The value of one counter; 0 for a name never registered.
    virtual uint64_t value(const std::string& name) const = 0;
};

// The process's event writer.
EventWriter& writer();

}  // namespace Hova
