// libFuzzer target: the Rank loader over arbitrary bytes.
//
// Malformed input must end in kwivel::IoError; any other exception, a crash
// or a sanitizer report is a finding.  When a load succeeds, the result must
// be exactly what the bytes say: the header's shape, a payload of the right
// length decoded little-endian, every row a permutation of [0, dim).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/error.h"
#include "index/rank.h"
#include "io/formats.h"
#include "io/framing.h"

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_rank_load: %s\n", what);
    std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void check_loaded(const std::uint8_t* data, std::size_t size, const kwivel::RankIndex& index) {
    if (size < 13) finding("loaded a file shorter than its header");
    const bool kwr1 = data[0] == 'K' && data[1] == 'W' && data[2] == 'R' && data[3] == '1';
    const bool hyr1 = data[0] == 'H' && data[1] == 'Y' && data[2] == 'R' && data[3] == '1';
    if (!kwr1 && !hyr1) finding("loaded a file with a foreign magic");
    if (data[4] != 1) finding("loaded a file with a version other than 1");
    const std::uint32_t dim = le32(data + 5), n = le32(data + 9);
    if (index.dim() != dim || index.size() != n) finding("shape differs from the header");
    if (size - 13 != std::size_t{2} * dim * n) finding("payload length differs from the header");
    const auto& ranks = index.ranks();
    if (ranks.size() != std::size_t{dim} * n) finding("rank count differs from the header");
    std::vector<std::uint32_t> seen(dim, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            const std::size_t at = i * dim + j;
            const std::uint16_t v = static_cast<std::uint16_t>(data[13 + 2 * at] | data[14 + 2 * at] << 8);
            if (ranks[at] != v) finding("rank differs from the file's bytes");
            if (v >= dim || seen[v] == i + 1) finding("accepted a row that is not a permutation");
            seen[v] = static_cast<std::uint32_t>(i + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const kwivel::RankIndex index = kwivel::load_rank_from_memory(data, size);
        check_loaded(data, size, index);
    } catch (const kwivel::IoError&) {
        // Rejected input: the expected outcome for malformed bytes.
    }
    return 0;
}
