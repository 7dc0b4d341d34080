// OrloVeskMap: binds a table map into the attribute of the entity that owns it. It names the
// map after the entity, routes the map's callbacks to the entity's members, keeps a local writer
// in the map until the map is mounted, reacts when the entity gets or loses its parent, and
// iterates the map.
//
// Runs on the thread of the entity tree, like the front it derives from.
#pragma once

#include "Orlo/Entity.h"
#include "Orlo/String.h"
#include "Orlo/Text.h"
#include "OrloPlinth/Util.h"
#include "OrloVesk/OrloVeskMapValueWrapper.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "VeskMap/VeskMap.h"

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>

namespace OrloVesk {

template <class Table, class ValueWrapper, class Key, class Ops>
class OrloVeskMap : public Vesk::VeskMap<Ops> {
  public:
    using Base = Vesk::VeskMap<Ops>;
    using Value = typename Ops::Value;

    explicit OrloVeskMap(const Ops& ops = Ops{}) : Base(ops) {}

    ~OrloVeskMap() override { PIMBO_TRACE_TO(*this->handler_, "OrloVeskMap", 2, "deleting state"); }

    // Binds the map to its owning table: names, callbacks, and a local writer.
    void entity(const Orlo::String& attributeName, Table* owner,
                void (Table::*keyNotification)(const Key&), void (Table::*mountStatus)(),
                void (Table::*quiesced)(bool)) {
        owner_ = owner;
        this->qualifier_ = attributeName.str();
        this->handler_ = Pimbo::Platform::getDebugHandler("VeskTemp");
        this->name_ = fmt::format("{}/{}", owner_->name(), attributeName);
        this->callbacks_.onValue = [this, keyNotification](const Value& v) {
            std::invoke(keyNotification, owner_, ValueWrapper::fwkKey(v));
        };
        this->callbacks_.onKey = [this, keyNotification](const Key& k) {
            std::invoke(keyNotification, owner_, k);
        };
        this->callbacks_.onKey2 = [this, keyNotification](const Key& k) {
            std::invoke(keyNotification, owner_, k);
        };
        this->callbacks_.onMountStatus = [this, mountStatus]() {
            std::invoke(mountStatus, owner_);
        };
        this->callbacks_.onQuiesced = [this, quiesced](bool q) {
            std::invoke(quiesced, owner_, q);
        };
        this->held_ = {[](const Value&) {}, [](const Key&) {}, [](const Key&) {}, [] {},
                       [](bool) {}};
        this->keyNotifications_ = true;
        PIMBO_TRACE_TO(*this->handler_, "OrloVeskMap", 5, "creating local VeskWriter {}",
                       this->name_);
        this->interface_.reset(this->createDefaultLocalWriter(*this->handler_));
    }

    // Runs when the owning table's parent changed.
    void handleParent() {
        const std::string oldName = this->name_;
        const bool hasParent = static_cast<bool>(owner_->parent());
        const std::string path = hasParent ? std::string(OrloPlinth::Util::fullName(*owner_).str())
                                           : owner_->name().str();
        this->name_ = fmt::format("{}/{}", path, this->qualifier_);
        if (!hasParent) {
            PIMBO_TRACE_TO(*this->handler_, "OrloVeskMap", 5, "{} is now an orphan", this->name_);
            this->orphanAssert_ = this->descriptor_.assertOnOrphanAccess != 0;
            this->controlDetach();
            return;
        }
        if (parented_) {
            PIMBO_THROW(Pimbo::InvalidInitializeException, "Entity {} already initialized",
                        owner_->name());
        }
        parented_ = true;
        PIMBO_TRACE_TO(*this->handler_, "OrloVeskMap", 5, "old:{} new:{}", oldName, this->name_);
        // A mounted front is unmounted first: its writer and sentry go with the old name.
        if (this->initialized_)
            this->controlDetach();
        // The new local writer first: when it cannot be built, the front keeps the old one.
        std::unique_ptr<typename Base::Interface> fresh(
            this->createDefaultLocalWriter(*this->handler_));
        this->interface_ = std::move(fresh);
    }

    // The owner's class name, e.g. "DravoCounters::FlexCounters2::CounterTableSimple".
    std::string classType() const override {
        if (owner_ == nullptr)
            throw std::bad_typeid();
        return Orlo::demangleStdString(typeid(*owner_).name());
    }

    bool validateFiles(const std::string& path, unsigned count) override {
        PIMBO_TRACE_TO(*this->handler_, "OrloVeskMap", 5, "delegating to VeskMap::validateFiles");
        return Base::validateFiles(path, count);
    }

    Table* ownerTable() const { return owner_; }
    bool parented() const { return parented_; }

    // Iterates the records of a map in table order. A corruption met on the way is reported
    // through the front and ends the iteration.
    class IteratorConst {
      public:
        explicit IteratorConst(const OrloVeskMap* map)
            : map_(const_cast<OrloVeskMap*>(map)), ownerMap_(map_) {
            if (map_ == nullptr)
                return;
            try {
                valid_ = map_->interface().first(value_, hint_);
            } catch (const Pimbo::CorruptionDetectedException& e) {
                map_->doCorruptionDetected(e.msg());
                valid_ = false;
            }
        }
        bool advance() {
            if (ownerMap_ == nullptr)
                return valid_ = false;
            try {
                valid_ = ownerMap_->interface().next(ValueWrapper::fwkKey(value_), value_, hint_);
            } catch (const Pimbo::CorruptionDetectedException& e) {
                ownerMap_->doCorruptionDetected(e.msg());
                valid_ = false;
            }
            valuePtr_ = &value_;
            return valid_;
        }
        bool valid() const { return valid_; }
        const Value& value() const { return *valuePtr_; }
        const Vesk::IterHint& hint() const { return hint_; }

      private:
        OrloVeskMap* map_;
        OrloVeskMap* ownerMap_;
        Vesk::IterHint hint_;
        Value value_{};
        const Value* valuePtr_ = &value_;
        bool valid_ = false;
    };

  private:
    Table* owner_ = nullptr;
    bool parented_ = false;
};

}  // namespace OrloVesk
