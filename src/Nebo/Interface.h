// Nebo::Interface<T>: a growable array of small values, indexed and appended to at the end.
//
// The base gives bodies only to the operations that would change the store or expose it for
// writing (data(), cleanup(), get(i) for writing, write); each refuses with
// Pimbo::NoPermissionException "read-only Nebo", so a store that does not override them is
// read-only. Every other operation is left to the store.
//
// A store belongs to one thread; it takes no locks.
#pragma once

#include "Pimbo/Exception.h"
#include "Plinth/CinderId.h"
#include "Plinth/RootPath.h"

#include <cstdint>

namespace Nebo {

// Where a store's files would live; a process-local store creates nothing there.
using RootPath = Mem::RootPath;

template <class T>
class Interface {
  public:
    virtual ~Interface() = default;

    virtual const T* data() const = 0;
    virtual T* data() { refuse(); }
    virtual void cleanup() { refuse(); }
    virtual RootPath rootPath() const = 0;
    virtual uint32_t mode() const = 0;
    virtual Plinth::CinderId cinderId() const = 0;
    virtual uint32_t mountStatus() const = 0;
    virtual void push(const T& value) = 0;
    virtual void pop() = 0;
    // Element i, or a default T when i is not below members().
    virtual T get(unsigned i) const = 0;
    // Address of element i for writing; no bounds check.
    virtual T* get(unsigned) { refuse(); }
    virtual void write(unsigned, const T&) { refuse(); }
    virtual T front() const = 0;
    virtual T back() const = 0;
    virtual uint32_t members() const = 0;
    virtual void capacityIs(unsigned n) = 0;

  private:
    [[noreturn]] static void refuse() {
        PIMBO_THROW(Pimbo::NoPermissionException, "read-only Nebo");
    }
};

}  // namespace Nebo
