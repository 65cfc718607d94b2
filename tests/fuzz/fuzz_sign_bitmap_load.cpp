// libFuzzer target: the SignBitmap loader over arbitrary bytes.
//
// Malformed input must end in kwivel::IoError; anything else is a finding.
// A successful load must reproduce the header's shape exactly and hold the
// payload's words bit for bit (any bit pattern is a valid sign bitmap).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "index/sign_bitmap.h"
#include "io/formats.h"
#include "io/framing.h"

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz_sign_bitmap_load: %s\n", what);
    std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void check_loaded(const std::uint8_t* data, std::size_t size, const kwivel::SignBitmapIndex& index) {
    if (size < 13) finding("loaded a file shorter than its header");
    if (std::memcmp(data, "KWSB", 4) != 0 && std::memcmp(data, "HYSB", 4) != 0) finding("foreign magic");
    if (data[4] != 1) finding("accepted another version");
    const std::uint32_t dim = le32(data + 5), n = le32(data + 9);
    if (dim < 64 || dim > 16777216 || dim % 64 != 0) finding("accepted a dim out of range");
    if (index.dim() != dim || index.size() != n || index.words_per_vec() != dim / 64)
        finding("shape differs from the header");
    const std::size_t words = std::size_t{n} * (dim / 64);
    if (size - 13 != 8 * words || index.words().size() != words) finding("payload length differs");
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t v = 0;
        for (int b = 7; b >= 0; --b) v = v << 8 | data[13 + 8 * w + b];
        if (index.words()[w] != v) finding("words differ from the file's bytes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const kwivel::SignBitmapIndex index = kwivel::load_sign_bitmap_from_memory(data, size);
        check_loaded(data, size, index);
    } catch (const kwivel::IoError&) {
    }
    return 0;
}
