#include "OrloPlinth/CollectionControl.h"

#include <fmt/format.h>

#include <utility>

namespace OrloPlinth {

std::string MountStatus::toString() const {
    switch (value) {
        case notMounted:
            return "notMounted";
        case mounted:
            return "mounted";
        case synced:
            return "synced";
        case flushing:
            return "flushing";
        default:
            return fmt::format("unknown({})", value);
    }
}

std::string CollectionControl::Event::toString() const {
    switch (kind) {
        case quiesced:
            return fmt::format("quiesced:{}", value != 0);
        case mountStatus:
            return "mountStatus:" + MountStatus(value).toString();
        case entityRef:
            return value != 0 ? "entityRef:set" : "entityRef:cleared";
    }
    return fmt::format("unknown({}):{}", unsigned(kind), value);
}

CollectionControl::~CollectionControl() = default;

void CollectionControl::record(Event::Kind kind, uint32_t value) {
    if (history_.size() == kHistorySize) {
        history_.pop_front();
    }
    history_.push_back(Event{kind, value});
}

void CollectionControl::quiescedIs(bool quiesced) {
    ++quiescedCalls_;
    quiesced_ = quiesced;
    record(Event::quiesced, quiesced ? 1 : 0);
}

void CollectionControl::mountStatusIs(MountStatus status) {
    ++mountStatusCalls_;
    mountStatus_ = status;
    record(Event::mountStatus, status.value);
}

void CollectionControl::entityRefIs(const Orlo::Ptr<Orlo::Entity>& entity) {
    ++entityRefCalls_;
    record(Event::entityRef, entity ? 1 : 0);
    // The old entity is released last, when the control is consistent again: releasing it may
    // run its zero-references notifiees.
    Orlo::Ptr<Orlo::Entity> old = std::exchange(entityRef_, entity);
}

std::string CollectionControl::historyString() const {
    std::string out;
    for (const Event& e : history_) {
        if (!out.empty()) {
            out += ' ';
        }
        out += e.toString();
    }
    return out;
}

}  // namespace OrloPlinth
