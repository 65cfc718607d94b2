// Portable asymmetric scans: the scalar path through query tables.  Per
// document, the table terms of its codes are added one float32 addition at a
// time in coordinate order (the symmetric scans of quant_scan.h, inv as the
// scale); 8-bit codes use the same table form with 256 entries per
// coordinate, or the gather kernel of a tier that has one.
#include <cstdint>
#include <vector>

#include "base/error.h"
#include "kernels/dispatch.h"
#include "kernels/quant_asym.h"
#include "kernels/quant_scan.h"

namespace kwivel {

void scan_via_lut_scalar_with_lut(const std::uint8_t* codes, std::size_t n, std::size_t dim, unsigned bits,
                                  const float* qn, std::size_t qn_len, float inv, std::vector<float>& table,
                                  TopK& topk) {
    KW_ASSERT(qn_len == dim, "kwivel: query length must equal dim");
    KW_ASSERT(bits == 1 || bits == 2 || bits == 4, "bits must be 1, 2, or 4 on the table path");
    const unsigned levels = 1u << bits;
    const float centre = (static_cast<float>(levels) - 1.0f) * 0.5f;
    table.resize(dim * levels);
    for (std::size_t j = 0; j < dim; ++j) {
        float* t = table.data() + j * levels;
        for (unsigned c = 0; c < levels; ++c) t[c] = (static_cast<float>(c) - centre) * qn[j];
    }
    switch (bits) {
        case 1: scan_b1_to_topk(codes, n, dim, table.data(), inv, topk); break;
        case 2: scan_b2_to_topk(codes, n, dim, table.data(), inv, topk); break;
        default: scan_b4_to_topk(codes, n, dim, table.data(), inv, topk); break;
    }
}

void scan_b8_asym_with_lut(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* qn,
                           std::size_t qn_len, float inv, std::vector<float>& table, TopK& topk, Tier tier) {
    KW_ASSERT(qn_len == dim, "kwivel: query length must equal dim");
    table.resize(dim * 256);
    for (std::size_t j = 0; j < dim; ++j) {
        float* t = table.data() + j * 256;
        for (unsigned c = 0; c < 256; ++c) t[c] = (static_cast<float>(c) + (-127.5f)) * qn[j];
    }
    const KernelTable& k = kernel_table(tier);
    if (k.quant_b8_gather != nullptr && dim % 16 == 0)
        k.quant_b8_gather(codes, n, dim, table.data(), table.size(), inv, topk);
    else
        scan_b8_to_topk(codes, n, dim, table.data(), inv, topk);
}

}  // namespace kwivel
