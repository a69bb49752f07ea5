// The half-open range of a sorted array that a [low, high] window touches,
// starting one position early: at the last key below `low` when there is one.
// Callers filter that first element themselves (the fragment buckets need it,
// since the bucket before the first reaching `low` may hold heavier masses).
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

namespace tamrel {

namespace detail {

// Position of `value` among keys [first, first + size): a match, or where it
// would be inserted. Halves the range without early exit, like the build's
// consumers expect for runs of equal keys.
template <class KeyAt, class Key>
std::size_t search_position(const KeyAt& key_at, std::size_t first, std::size_t size,
                            const Key& value) {
    if (size == 0) return 0;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (!(value < key_at(first + mid))) base = mid;
        size -= half;
    }
    const Key found = key_at(first + base);
    return found < value ? base + 1 : base;
}

}  // namespace detail

// `key_at(i)` yields the key of element i, for i < length; keys must be totally
// ordered by `<` (callers map floats to total-order keys first).
template <class KeyAt, class Key>
std::pair<std::size_t, std::size_t> range_bounds(std::size_t length, const KeyAt& key_at,
                                                 const Key& low, const Key& high) {
    const std::size_t i = detail::search_position(key_at, 0, length, low);
    std::size_t left = i == 0 ? 0 : i - 1;
    while (left > 0 && !(key_at(left) < low)) --left;
    std::size_t j = left + detail::search_position(key_at, left, length - left, high);
    while (j < length && !(high < key_at(j))) ++j;
    return {left, std::min(j, length)};
}

}  // namespace tamrel
