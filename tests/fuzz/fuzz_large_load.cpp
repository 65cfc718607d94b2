// libFuzzer target: every loader on large files (several megabytes), the
// size at which a payload is read on a thread of its own while the worker
// pool checks its rows.
//
// The input picks a format and shape and describes damage: bytes to
// overwrite (anywhere in a valid file of that shape, mostly its payload)
// and an amount to cut off the end.  The damaged file is loaded twice, with
// the overlapped read and with the plain sequential one; both must agree on
// success, on the loaded content, and on the exact error message.  Anything
// but an IoError is a finding too.
//
// Input layout: [format] [shape] then records of 5 bytes (u32 offset, u8
// value); a trailing partial record, if any, sets how many bytes to cut.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/error.h"
#include "index/bitmap.h"
#include "index/rank.h"
#include "index/rank_quant.h"
#include "index/sign_bitmap.h"
#include "io/formats.h"
#include "io/row_reader.h"

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "fuzz_large_load: %s\n", what.c_str());
    std::abort();
}

constexpr unsigned kFormats = 4;

// Rows enough for a payload of about 3 MiB.
std::vector<float> random_rows(std::size_t dim, std::size_t row_bytes, unsigned seed) {
    const std::size_t n = (3u << 20) / row_bytes + 3;
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(n * dim);
    for (float& x : v) x = normal(gen);
    return v;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A valid file of the format and shape, built once by the library itself.
const std::vector<std::uint8_t>& valid_file(unsigned format, unsigned shape) {
    static std::map<std::pair<unsigned, unsigned>, std::vector<std::uint8_t>> cache;
    auto [it, fresh] = cache.try_emplace({format, shape});
    if (!fresh) return it->second;
    const std::string path = "/tmp/kwivel_fuzz_large_" + std::to_string(getpid()) + "_" + std::to_string(format) +
                             "_" + std::to_string(shape);
    const std::size_t dim = shape ? 192 : 768;
    switch (format) {
        case 0: {
            kwivel::RankIndex ix(dim);
            const auto v = random_rows(dim, 2 * dim, shape);
            ix.add(v.data(), v.size());
            kwivel::write_rank(ix, path);
            break;
        }
        case 1: {
            kwivel::RankQuantIndex ix(dim, shape ? 2 : 4);
            const auto v = random_rows(dim, dim * ix.bits() / 8, shape);
            ix.add(v.data(), v.size());
            kwivel::write_rank_quant(ix, path);
            break;
        }
        case 2: {
            kwivel::BitmapIndex ix(dim, shape ? 20 : 96);
            const auto v = random_rows(dim, dim / 8, shape);
            ix.add(v.data(), v.size());
            kwivel::write_bitmap(ix, path);
            break;
        }
        default: {
            kwivel::SignBitmapIndex ix(dim);
            const auto v = random_rows(dim, dim / 8, shape);
            ix.add(v.data(), v.size());
            kwivel::write_sign_bitmap(ix, path);
            break;
        }
    }
    it->second = read_file(path);
    std::remove(path.c_str());
    return it->second;
}

// Loads and returns either "ok:" plus a digest of the content, or the error.
template <class Index>
std::string outcome(Index (*load)(const std::uint8_t*, std::size_t), const std::vector<std::uint8_t>& bytes,
                    std::string (*digest)(const Index&)) {
    try {
        return "ok:" + digest(load(bytes.data(), bytes.size()));
    } catch (const kwivel::IoError& e) {
        return std::string("error:") + e.what();
    }
}

template <class V>
std::string bytes_of(const V& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0]));
}

std::string load_any(unsigned format, const std::vector<std::uint8_t>& bytes) {
    switch (format) {
        case 0:
            return outcome<kwivel::RankIndex>(kwivel::load_rank_from_memory, bytes, [](const kwivel::RankIndex& ix) {
                return std::to_string(ix.dim()) + "/" + bytes_of(ix.ranks());
            });
        case 1:
            return outcome<kwivel::RankQuantIndex>(
                kwivel::load_rank_quant_from_memory, bytes,
                [](const kwivel::RankQuantIndex& ix) { return std::to_string(ix.dim()) + "/" + bytes_of(ix.codes()); });
        case 2:
            return outcome<kwivel::BitmapIndex>(kwivel::load_bitmap_from_memory, bytes, [](const kwivel::BitmapIndex& ix) {
                return std::to_string(ix.dim()) + "/" + std::to_string(ix.n_top()) + "/" + bytes_of(ix.words());
            });
        default:
            return outcome<kwivel::SignBitmapIndex>(
                kwivel::load_sign_bitmap_from_memory, bytes,
                [](const kwivel::SignBitmapIndex& ix) { return std::to_string(ix.dim()) + "/" + bytes_of(ix.words()); });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned format = data[0] % kFormats, shape = data[1] % 2;
    std::vector<std::uint8_t> bytes = valid_file(format, shape);
    std::size_t i = 2;
    for (; i + 5 <= size; i += 5) {
        std::uint32_t off;
        std::memcpy(&off, data + i, 4);
        bytes[off % bytes.size()] = data[i + 4];
    }
    if (i < size) bytes.resize(bytes.size() - std::min<std::size_t>(bytes.size(), data[i] * 4099u));

    kwivel::detail::overlap_min_pieces = 2;
    const std::string overlapped = load_any(format, bytes);
    kwivel::detail::overlap_min_pieces = static_cast<std::size_t>(-1);
    const std::string sequential = load_any(format, bytes);
    kwivel::detail::overlap_min_pieces = 2;
    if (overlapped != sequential)
        finding("the overlapped and sequential loads differ: " + overlapped.substr(0, 200) + " vs " +
                sequential.substr(0, 200));
    return 0;
}
