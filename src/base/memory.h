// Buffers: huge-page advice for large blocks, geometric growth, and
// cache-line aligned scratch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace kwivel {

// Asks for transparent huge pages over a large, not yet touched block (as
// numpy does for its arrays): far fewer page faults while it is filled.
// Only a hint; it never fails.
void advise_huge_pages(void* data, std::size_t bytes);

// An allocator that default-initialises where std::allocator
// value-initialises: resize(n) of a vector of plain numbers leaves the new
// elements unwritten, so a parallel writer (or a file read) is the only
// pass over fresh memory.  resize(n, value) still fills.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// The storage of an index's rows, and of the rows a loader reads.
template <class T>
using RowBuffer = std::vector<T, DefaultInitAllocator<T>>;

// Grows v's capacity to at least n elements (geometrically), advising huge
// pages for a large new block, so that the following resize faults in few
// pages.
template <class T, class A>
void reserve_for_growth(std::vector<T, A>& v, std::size_t n) {
    if (v.capacity() >= n) return;
    // The advice goes on the new block before the old contents are copied
    // in: pages touched first would be faulted in small.
    std::vector<T, A> grown;
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
