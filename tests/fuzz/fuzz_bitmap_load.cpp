// libFuzzer target: the Bitmap loader over arbitrary bytes.
//
// Malformed input must end in kwivel::IoError; anything else is a finding.
// A successful load must reproduce the header's shape and the payload words,
// and every row must have exactly n_top bits set.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "index/bitmap.h"
#include "io/formats.h"
#include "io/framing.h"

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_bitmap_load: %s\n", what);
    std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

void check_loaded(const std::uint8_t* data, std::size_t size, const kwivel::BitmapIndex& index) {
    if (size < 17) finding("loaded a file shorter than its header");
    if (std::memcmp(data, "KWBM", 4) != 0 && std::memcmp(data, "HYBM", 4) != 0) finding("foreign magic");
    if (data[4] != 1) finding("accepted a version other than 1");
    const std::uint32_t dim = le32(data + 5), n_top = le32(data + 9), n = le32(data + 13);
    if (dim % 64 != 0 || dim == 0 || dim > 65535 || n_top == 0 || n_top >= dim) finding("accepted a bad shape");
    if (index.dim() != dim || index.n_top() != n_top || index.size() != n) finding("shape differs from the header");
    const std::size_t wpv = dim / 64;
    if (size - 17 != 8 * wpv * n || index.words().size() != wpv * n) finding("payload length differs");
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t bits = 0;
        for (std::size_t w = 0; w < wpv; ++w) {
            const std::uint64_t v = le64(data + 17 + 8 * (i * wpv + w));
            if (index.row(i)[w] != v) finding("words differ from the file's bytes");
            bits += static_cast<std::size_t>(std::popcount(v));
        }
        if (bits != n_top) finding("accepted a row without n_top bits");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const kwivel::BitmapIndex index = kwivel::load_bitmap_from_memory(data, size);
        check_loaded(data, size, index);
    } catch (const kwivel::IoError&) {
    }
    return 0;
}
