// Every loader gives the same result from a file and from memory, whole or
// cut short anywhere, small or large enough for the overlapped read.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/error.h"
#include "index/bitmap.h"
#include "index/rank.h"
#include "index/rank_quant.h"
#include "index/sign_bitmap.h"
#include "io/formats.h"

namespace kwivel {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<float> gaussian(std::size_t n, std::size_t dim, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(n * dim);
    for (float& x : v) x = normal(gen);
    return v;
}

Bytes read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Format {
    const char* name;
    std::size_t large_rows;  // rows past the overlapped read's threshold (2 MiB of payload)
    // Writes an index of n rows to path.
    void (*write)(std::size_t n, const std::string& path);
    // "ok:<content>" or "error:<message>", from a path or from memory.
    std::string (*from_file)(const std::string& path);
    std::string (*from_memory)(const Bytes& bytes);
};

template <class F>
std::string outcome(F&& load) {
    try {
        return "ok:" + load();
    } catch (const IoError& e) {
        return std::string("error:") + e.what();
    }
}

template <class V>
std::string bytes_of(const V& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0]));
}

const Format kFormats[] = {
    {"rank", 2200,
     [](std::size_t n, const std::string& p) {
         RankIndex ix(512);
         const auto v = gaussian(n, 512, 1);
         ix.add(v.data(), v.size());
         write_rank(ix, p);
     },
     [](const std::string& p) { return outcome([&] { return bytes_of(load_rank(p).ranks()); }); },
     [](const Bytes& b) { return outcome([&] { return bytes_of(load_rank_from_memory(b.data(), b.size()).ranks()); }); }},
    {"rank_quant", 9000,
     [](std::size_t n, const std::string& p) {
         RankQuantIndex ix(512, 4);
         const auto v = gaussian(n, 512, 2);
         ix.add(v.data(), v.size());
         write_rank_quant(ix, p);
     },
     [](const std::string& p) { return outcome([&] { return bytes_of(load_rank_quant(p).codes()); }); },
     [](const Bytes& b) {
         return outcome([&] { return bytes_of(load_rank_quant_from_memory(b.data(), b.size()).codes()); });
     }},
    {"bitmap", 36000,
     [](std::size_t n, const std::string& p) {
         BitmapIndex ix(512, 40);
         const auto v = gaussian(n, 512, 3);
         ix.add(v.data(), v.size());
         write_bitmap(ix, p);
     },
     [](const std::string& p) { return outcome([&] { return bytes_of(load_bitmap(p).words()); }); },
     [](const Bytes& b) { return outcome([&] { return bytes_of(load_bitmap_from_memory(b.data(), b.size()).words()); }); }},
    {"sign_bitmap", 36000,
     [](std::size_t n, const std::string& p) {
         SignBitmapIndex ix(512);
         const auto v = gaussian(n, 512, 4);
         ix.add(v.data(), v.size());
         write_sign_bitmap(ix, p);
     },
     [](const std::string& p) { return outcome([&] { return bytes_of(load_sign_bitmap(p).words()); }); },
     [](const Bytes& b) {
         return outcome([&] { return bytes_of(load_sign_bitmap_from_memory(b.data(), b.size()).words()); });
     }},
};

class Loaders : public testing::TestWithParam<Format> {};

TEST_P(Loaders, FileAndMemoryAgreeWholeAndCut) {
    const Format& f = GetParam();
    const auto dir = std::filesystem::temp_directory_path() / ("kwivel_loaders_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    for (std::size_t n : {std::size_t{7}, f.large_rows}) {
        const std::string full = (dir / "full").string(), cut = (dir / "cut").string();
        f.write(n, full);
        const Bytes bytes = read_all(full);
        const std::string whole = f.from_file(full);
        ASSERT_EQ(whole.rfind("ok:", 0), 0u) << f.name << " " << whole.substr(0, 200);
        ASSERT_EQ(f.from_memory(bytes), whole) << f.name;
        for (std::size_t size : {std::size_t{0}, std::size_t{5}, std::size_t{13}, bytes.size() / 3, bytes.size() - 1}) {
            const Bytes part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
            std::ofstream(cut, std::ios::binary).write(reinterpret_cast<const char*>(part.data()),
                                                       static_cast<std::streamsize>(part.size()));
            const std::string got = f.from_file(cut);
            EXPECT_EQ(got.rfind("error:", 0), 0u) << f.name << " cut at " << size;
            EXPECT_EQ(f.from_memory(part), got) << f.name << " cut at " << size;
        }
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Formats, Loaders, testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kwivel
