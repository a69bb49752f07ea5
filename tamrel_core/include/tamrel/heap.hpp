// Bounded selection of the k greatest elements with an in-place min-heap.
// The survivors are left in heap order, and that order is observable (it
// decides ties in later stable sorts), so the procedure is fixed step by step.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

namespace tamrel {

// Restores the min-heap property of values[0, n) below position i.
template <class T>
void sift_down(std::span<T> values, std::size_t n, std::size_t i) {
    for (;;) {
        const std::size_t child = 2 * i + 1;
        if (child >= n) return;
        std::size_t smallest = values[child] < values[i] ? child : i;
        if (child + 1 < n && values[child + 1] < values[smallest]) smallest = child + 1;
        if (smallest == i) return;
        std::swap(values[i], values[smallest]);
        i = smallest;
    }
}

// Arranges values as a min-heap.
template <class T>
void make_min_heap(std::span<T> values) {
    for (std::size_t i = values.size() / 2; i-- > 0;) sift_down(values, values.size(), i);
}

// Puts `value` in place of the heap's least element when it is greater.
template <class T>
void offer(std::span<T> heap, const T& value) {
    if (heap[0] < value) {
        heap[0] = value;
        sift_down(heap, heap.size(), 0);
    }
}

// Moves the k greatest elements into values[0, k), arranged as a min-heap;
// the caller then truncates to k. Meant for values.size() > k.
template <class T>
void bounded_min_heapify(std::span<T> values, std::size_t k) {
    if (k == 0) return;
    make_min_heap(values.first(k));
    for (std::size_t j = k; j < values.size(); ++j) {
        if (values[0] < values[j]) {
            std::swap(values[j], values[0]);
            sift_down(values, k, 0);
        }
    }
}

}  // namespace tamrel
