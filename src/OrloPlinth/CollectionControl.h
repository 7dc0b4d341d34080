// Collection controls: the runtime's handle on one mountable collection of an entity. The
// collection tells its control when it became quiesced and what its mount status is; the
// control may be handed the entity to keep alive.
//
// Who may call what: the owning thread of the entity tree. A control is reference counted.
#pragma once

#include "Orlo/Entity.h"
#include "Orlo/Ptr.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace OrloPlinth {

// Mount status of a collection: 0 not mounted, 1 mounted, 2 a shadow synchronised since it was
// attached, 3 a shadow still flushing. Built
// implicitly from the collection's own status number.
struct MountStatus {
    static constexpr uint32_t notMounted = 0;
    static constexpr uint32_t mounted = 1;
    static constexpr uint32_t synced = 2;
    static constexpr uint32_t flushing = 3;

    uint32_t value = notMounted;

    MountStatus() = default;
    MountStatus(uint32_t v) : value(v) {}

    friend bool operator==(const MountStatus&, const MountStatus&) = default;
    // "notMounted", "mounted", "synced", "flushing" or "unknown(N)".
    std::string toString() const;
};

class CollectionControl : public Orlo::PtrInterface {
  public:
    // One call the control received, in arrival order (see history()).
    struct Event {
        enum Kind : uint8_t { quiesced, mountStatus, entityRef };
        Kind kind;
        uint32_t value;  // quiesced: 0/1; mountStatus: the status; entityRef: 1 set, 0 cleared

        friend bool operator==(const Event&, const Event&) = default;
        // "quiesced:true", "mountStatus:mounted", "entityRef:set"
        std::string toString() const;
    };
    static constexpr size_t kHistorySize = 64;

    CollectionControl() = default;
    CollectionControl(const CollectionControl&) = delete;
    CollectionControl& operator=(const CollectionControl&) = delete;
    ~CollectionControl() override;

    virtual void quiescedIs(bool quiesced);
    bool quiesced() const { return quiesced_; }

    virtual void mountStatusIs(MountStatus status);
    MountStatus mountStatus() const { return mountStatus_; }

    // The control holds `entity` (a reference) from now on, until replaced or cleared.
    virtual void entityRefIs(const Orlo::Ptr<Orlo::Entity>& entity);
    const Orlo::Ptr<Orlo::Entity>& entityRef() const { return entityRef_; }

    // How often each was called.
    uint64_t quiescedCalls() const { return quiescedCalls_; }
    uint64_t mountStatusCalls() const { return mountStatusCalls_; }
    uint64_t entityRefCalls() const { return entityRefCalls_; }

    // The last kHistorySize calls, oldest first: lets a caller check the order in which a
    // collection reported (quiesced before mount status).
    const std::deque<Event>& history() const { return history_; }
    // The history as text, one event after the other separated by spaces.
    std::string historyString() const;

  private:
    void record(Event::Kind kind, uint32_t value);

    bool quiesced_ = false;
    MountStatus mountStatus_;
    Orlo::Ptr<Orlo::Entity> entityRef_;
    uint64_t quiescedCalls_ = 0;
    uint64_t mountStatusCalls_ = 0;
    uint64_t entityRefCalls_ = 0;
    std::deque<Event> history_;
};

}  // namespace OrloPlinth
