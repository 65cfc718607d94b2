#include "search/top_columns.h"

#include <algorithm>
#include <vector>

#include "base/error.h"
#include "base/float_keys.h"
#include "base/parallel.h"

namespace kwivel {

void top_columns(const float* scores, std::size_t rows, std::size_t cols, std::size_t width, std::int64_t* out) {
    KW_ASSERT(width <= cols, "kwivel: top_columns wants more columns than a row has");
    KW_ASSERT(cols <= UINT32_MAX, "kwivel: top_columns holds at most 2^32 - 1 columns");
    if (width == 0) return;
    parallel_for(0, rows, [&](std::size_t lo, std::size_t hi) {
        // One key per column: the score's key above the reversed column, so
        // that a larger key is a better column and no two keys are equal.
        std::vector<std::uint64_t> keys(cols);
        for (std::size_t r = lo; r < hi; ++r) {
            const float* s = scores + r * cols;
            for (std::size_t c = 0; c < cols; ++c) {
                const auto k = static_cast<std::uint32_t>(total_order_key(s[c])) ^ 0x80000000u;
                keys[c] = (std::uint64_t{k} << 32) | static_cast<std::uint32_t>(~static_cast<std::uint32_t>(c));
            }
            const auto head = keys.begin() + static_cast<std::ptrdiff_t>(width);
            if (width < cols) std::nth_element(keys.begin(), head - 1, keys.end(), std::greater<>());
            std::sort(keys.begin(), head, std::greater<>());
            for (std::size_t j = 0; j < width; ++j)
                out[r * width + j] = static_cast<std::uint32_t>(~static_cast<std::uint32_t>(keys[j]));
        }
    });
}

}  // namespace kwivel
