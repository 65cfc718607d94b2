// Buffers: huge-page advice for large blocks, geometric growth, and
// cache-line aligned scratch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kwivel {

// Asks for transparent huge pages over a large, not yet touched block (as
// numpy does for its arrays): far fewer page faults while it is filled.
// Only a hint; it never fails.
void advise_huge_pages(void* data, std::size_t bytes);

// Grows v's capacity to at least n elements (geometrically), advising huge
// pages for a large new block, so that the following resize faults in few
// pages.
template <class T>
void reserve_for_growth(std::vector<T>& v, std::size_t n) {
    if (v.capacity() >= n) return;
    // The advice goes on the new block before the old contents are copied
    // in: pages touched first would be faulted in small.
    std::vector<T> grown;
    grown.reserve(std::max(n, v.capacity() + v.capacity() / 2));
    advise_huge_pages(grown.data(), grown.capacity() * sizeof(T));
    grown.insert(grown.end(), v.begin(), v.end());
    v.swap(grown);
}

// A zero-filled buffer of n trivially copyable T whose first element sits on
// a 64-byte boundary.
template <class T>
class AlignedBuffer {
public:
    explicit AlignedBuffer(std::size_t n) : buf_(n + 64 / sizeof(T) + 1, T{}) {
        const auto a = reinterpret_cast<std::uintptr_t>(buf_.data());
        data_ = buf_.data() + ((64 - a % 64) % 64) / sizeof(T);
    }
    T* data() { return data_; }
    const T* data() const { return data_; }

private:
    std::vector<T> buf_;
    T* data_;
};

}  // namespace kwivel
