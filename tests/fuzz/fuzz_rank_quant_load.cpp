// libFuzzer target: the RankQuant loader over arbitrary bytes.
//
// Malformed input must end in kwivel::IoError; anything else is a finding.
// A successful load must reproduce the header's shape and the payload bytes,
// and every row must hold each code exactly dim / 2^bits times.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "index/rank_quant.h"
#include "io/formats.h"
#include "io/framing.h"

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_rank_quant_load: %s\n", what);
    std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void check_loaded(const std::uint8_t* data, std::size_t size, const kwivel::RankQuantIndex& index) {
    if (size < 14) finding("loaded a file shorter than its header");
    if (std::memcmp(data, "KWRQ", 4) != 0 && std::memcmp(data, "HYRQ", 4) != 0) finding("foreign magic");
    const unsigned bits = data[5];
    const std::uint32_t dim = le32(data + 6), n = le32(data + 10);
    if (index.bits() != bits || index.dim() != dim || index.size() != n) finding("shape differs from the header");
    const std::size_t bpv = std::size_t{dim} * bits / 8;
    if (size - 14 != bpv * n || index.codes().size() != bpv * n) finding("payload length differs");
    if (bpv * n != 0 && std::memcmp(index.codes().data(), data + 14, bpv * n) != 0)
        finding("codes differ from the file's bytes");
    const unsigned per_byte = 8 / bits;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t count[16] = {};
        for (std::size_t j = 0; j < dim; ++j) {
            const std::uint8_t byte = data[14 + i * bpv + j / per_byte];
            ++count[(byte >> (bits * (per_byte - 1 - j % per_byte))) & ((1u << bits) - 1)];
        }
        for (unsigned b = 0; b < (1u << bits); ++b)
            if (count[b] != (dim >> bits)) finding("accepted a row without constant composition");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const kwivel::RankQuantIndex index = kwivel::load_rank_quant_from_memory(data, size);
        check_loaded(data, size, index);
    } catch (const kwivel::IoError&) {
    }
    return 0;
}
