// VeskInterfaceBase: the record-independent operations of every table implementation.
//
// The operations are declared here in the order of the interface; the record-typed operations
// (write, remove, lookup, first, next, direct*) follow in VeskInterface. Operations with a body
// here are defaults that answer as a table that is not quiesced, not connected, counts nothing
// and ignores settings; pure ones are overridden by every implementation.
#pragma once

#include "Mem/VersionAnchor.h"
#include "Plinth/CinderId.h"
#include "Plinth/RootPath.h"
#include "VeskBase/Counters.h"
#include "VeskBase/Types.h"

#include <cstdint>
#include <string>

namespace Vesk {

using VersionAnchorHook = void (*)(const Mem::VersionAnchor&);

class VeskInterfaceBase {
  public:
    virtual ~VeskInterfaceBase() = default;

    virtual bool initialize(const std::string& event) = 0;
    virtual void detach(bool deleted) = 0;
    virtual bool validate() { return true; }
    virtual bool validateFiles() { return true; }
    virtual bool cleanup() { return false; }
    virtual uint32_t members() = 0;
    virtual uint32_t buckets() = 0;
    virtual uint32_t minSize() = 0;
    virtual uint32_t maxSize() = 0;
    virtual uint32_t capacity() = 0;
    virtual VeskType type() = 0;
    virtual bool quiesced() { return false; }
    virtual bool connected() { return false; }
    virtual Writer::Counters writerCounters() { return {}; }
    virtual Reader::Counters readerCounters() { return {}; }
    virtual void notifyingIs(bool) {}
    virtual void yieldTimeIs(const double&) {}
    virtual SequenceRecord sequence() { return {}; }
    virtual bool clientQuiesced(const std::string&) { return false; }
    virtual RootPath rootPath() = 0;
    virtual std::string veskName() = 0;
    virtual MountStatus mountStatus() = 0;
    virtual Plinth::CinderId cinderId() { return Plinth::CinderId(); }
    virtual bool validateVersionAnchor() = 0;
    virtual void validateVersionAnchorHookIs(VersionAnchorHook) {}
    virtual Mem::CacheVersionAnchor getCacheVersionAnchor() { return {}; }
    virtual void criticalTaskCheckIs(bool) {}
    virtual bool criticalTaskCheck() { return false; }

    bool initialized() const { return initialized_; }
    void initializedIs(bool v) { initialized_ = v; }

  private:
    bool initialized_ = false;
};

}  // namespace Vesk
