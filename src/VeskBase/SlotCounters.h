// SlotCounters: which local slot indices of a shadow are occupied, counted by power-of-two class,
// so that the shadow can tell how far its slot array may shrink without a walk over it.
//
// The class of index i is 0 when i >> shift is 0, else 1 + the index of the highest set bit of
// i >> shift: class c > 0 holds the indices [2^(c-1) << shift, 2^c << shift). The shift is
// chosen from the number of shared slots that fit in one page, so that the first class covers
// about a page of slots and small tables do not count classes at all.
//
// Process-local and single-threaded (the shadow's processing thread).
#pragma once

#include "Pimbo/Debuggable.h"

#include <array>
#include <bit>
#include <cstdint>

namespace Vesk {

class SlotCounters : public Pimbo::Debuggable {
  public:
    static constexpr uint32_t kClasses = 33;

    // `slotsPerPage`: the shared slots that fit in one page after the slot file's header.
    SlotCounters(Pimbo::Platform::DebugHandler& handler, uint32_t slotsPerPage)
        : Pimbo::Debuggable(handler, "SlotCounters"),
          shift_(slotsPerPage == 0 ? 0 : uint32_t(std::bit_width(slotsPerPage) - 1)) {}

    static uint32_t classOf(uint32_t index, uint32_t shift) {
        const uint32_t high = index >> shift;
        return high == 0 ? 0 : uint32_t(std::bit_width(high));
    }

    void add(uint32_t index) {
        const uint32_t c = classOf(index, shift_);
        ++counts_[c];
        mask_ |= uint64_t(1) << c;
    }
    void remove(uint32_t index) {
        const uint32_t c = classOf(index, shift_);
        if (counts_[c] != 0 && --counts_[c] == 0)
            mask_ &= ~(uint64_t(1) << c);
    }
    void clear() {
        counts_.fill(0);
        mask_ = 0;
    }

    // A slot count that covers every occupied index (0 when none is occupied): the end of the
    // highest non-empty class.
    uint64_t largestOccupied() const {
        if (mask_ == 0)
            return 0;
        const uint32_t top = uint32_t(std::bit_width(mask_) - 1);
        return uint64_t(1) << (top + shift_);
    }
    uint32_t shift() const { return shift_; }
    uint64_t count(uint32_t c) const { return counts_[c]; }

  private:
    uint32_t shift_;
    std::array<uint64_t, kClasses> counts_{};
    uint64_t mask_ = 0;  // bit c: class c is not empty (33 classes: wider than 32 bits)
};

}  // namespace Vesk
