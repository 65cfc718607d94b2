#include "base/memory.h"

#include <sys/mman.h>

namespace kwivel {

void advise_huge_pages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t lo = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t hi = (begin + bytes) & ~(kHuge - 1);
    if (lo < hi) (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace kwivel
