// Plain views of stored rows: what the search drivers read.  The index
// classes hand their buffers over as these, so search/ depends on no index.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwivel {

// n rank rows of dim uint16 values each.
struct RankRows {
    const std::uint16_t* ranks = nullptr;
    std::size_t n = 0;
    std::size_t dim = 0;
    const std::uint16_t* row(std::size_t i) const { return ranks + i * dim; }
};

// n rows of packed bucket codes, dim codes of `bits` bits each.
struct QuantRows {
    const std::uint8_t* codes = nullptr;
    std::size_t n = 0;
    std::size_t dim = 0;
    unsigned bits = 0;
    std::size_t bytes_per_vec() const { return dim * bits / 8; }
    const std::uint8_t* row(std::size_t i) const { return codes + i * bytes_per_vec(); }
};

}  // namespace kwivel
