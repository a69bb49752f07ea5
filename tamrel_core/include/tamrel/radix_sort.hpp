// LSD radix sorts by a 32-bit key: one on the calling thread into a scratch
// array, and one across the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "tamrel/parallel.hpp"

namespace tamrel {

namespace detail {

// Raw storage for trivially copyable records, left uninitialised: the sorts
// overwrite every element before reading it.
template <class T>
struct ScratchBuffer {
    static_assert(std::is_trivially_copyable_v<T>);
    explicit ScratchBuffer(std::size_t n) : data(static_cast<T*>(::operator new(n * sizeof(T)))) {}
    ~ScratchBuffer() { ::operator delete(data); }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    T* data;
};

constexpr unsigned kDigitBits = 8;
constexpr unsigned kDigits = 32 / kDigitBits;
constexpr std::size_t kRadix = std::size_t{1} << kDigitBits;

inline unsigned digit_of(std::uint32_t key, unsigned d) {
    return (key >> (d * kDigitBits)) & (kRadix - 1);
}

}  // namespace detail

// Sorts [data, data + n) by the 32-bit key `key(item)` on the calling thread
// (LSD radix; digits shared by all keys are skipped). `scratch` holds n items.
template <class T, class Key>
void radix_sort(T* data, T* scratch, std::size_t n, const Key& key) {
    using namespace detail;
    if (n < 64) {
        std::sort(data, data + n, [&](const T& a, const T& b) { return key(a) < key(b); });
        return;
    }
    std::size_t counts[kDigits][kRadix] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t k = key(data[i]);
        for (unsigned d = 0; d < kDigits; ++d) ++counts[d][digit_of(k, d)];
    }
    T* from = data;
    T* to = scratch;
    for (unsigned d = 0; d < kDigits; ++d) {
        std::size_t* count = counts[d];
        if (count[digit_of(key(data[0]), d)] == n) continue;  // every key shares this digit
        std::size_t offset = 0;
        for (std::size_t v = 0; v < kRadix; ++v) offset += std::exchange(count[v], offset);
        for (std::size_t i = 0; i < n; ++i) to[count[digit_of(key(from[i]), d)]++] = from[i];
        std::swap(from, to);
    }
    if (from != data) std::memcpy(static_cast<void*>(data), from, n * sizeof(T));
}

// Unstable parallel sort of [data, data + n) by the 32-bit key `key(item)`:
// LSD radix passes with per-block histograms, needing n items of scratch.
template <class T, class Key>
void parallel_radix_sort(T* data, std::size_t n, const Key& key) {
    using namespace detail;
    constexpr std::size_t kSerialLimit = std::size_t{1} << 16;
    ScratchBuffer<T> scratch(n);
    if (n < kSerialLimit || worker_count() == 1) {
        radix_sort(data, scratch.data, n, key);
        return;
    }
    const std::size_t blocks = worker_count() * 4;
    auto block_begin = [&](std::size_t b) {
        return static_cast<std::size_t>(std::uint64_t{n} * b / blocks);
    };
    // counts[b * kRadix + v]: items of block b with digit v, then turned into
    // the position where block b writes its next item with digit v.
    std::vector<std::size_t> counts(blocks * kRadix);
    T* from = data;
    T* to = scratch.data;
    for (unsigned d = 0; d < kDigits; ++d) {
        std::fill(counts.begin(), counts.end(), 0);
        parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                std::size_t* count = &counts[b * kRadix];
                for (std::size_t i = block_begin(b), end = block_begin(b + 1); i < end; ++i)
                    ++count[digit_of(key(from[i]), d)];
            }
        });
        std::size_t offset = 0;
        bool trivial = false;
        for (std::size_t v = 0; v < kRadix && !trivial; ++v) {
            std::size_t total = 0;
            for (std::size_t b = 0; b < blocks; ++b) total += counts[b * kRadix + v];
            trivial = total == n;
        }
        if (trivial) continue;  // every key shares this digit
        for (std::size_t v = 0; v < kRadix; ++v)
            for (std::size_t b = 0; b < blocks; ++b)
                offset += std::exchange(counts[b * kRadix + v], offset);
        parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                std::size_t* next = &counts[b * kRadix];
                for (std::size_t i = block_begin(b), end = block_begin(b + 1); i < end; ++i)
                    to[next[digit_of(key(from[i]), d)]++] = from[i];
            }
        });
        std::swap(from, to);
    }
    if (from != data) {
        parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            const std::size_t begin = block_begin(first);
            std::memcpy(static_cast<void*>(data + begin), from + begin,
                        (block_begin(last) - begin) * sizeof(T));
        });
    }
}

}  // namespace tamrel
