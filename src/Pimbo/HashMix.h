// HashMix: a running 32-bit byte-wise hash (FNV-1a). Started at 0x811C9DC5, each byte is XORed
// in and the state multiplied by 16777619. Checksums of file headers use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Pimbo::Impl {

template <class T>
class HashMix;

template <>
class HashMix<uint32_t> {
  public:
    static constexpr uint32_t kOffsetBasis = 0x811C9DC5u;
    static constexpr uint32_t kPrime = 16777619u;

    explicit HashMix(uint32_t start = kOffsetBasis) : state_(start) {}

    void add(const void* data, size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) {
            state_ ^= p[i];
            state_ *= kPrime;
        }
    }
    uint32_t value() const { return state_; }

  private:
    uint32_t state_;
};

}  // namespace Pimbo::Impl
