// Rank files: byte layout, round trips, every load failure in check order,
// OS failures, and writes that must leave an existing file untouched.
//
// Expected bytes are built here by hand (Bytes, encode_rank) rather than with
// the library's writer, and the permutation messages are predicted by a
// separate set-based scan.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/error.h"
#include "index/rank.h"
#include "io/formats.h"
#include "io/framing.h"

namespace fs = std::filesystem;
using kwivel::IoError;
using kwivel::RankIndex;
using kwivel::RowBuffer;

namespace {

// ---------------------------------------------------------------------------
// Helpers.

struct Bytes {
    std::vector<std::uint8_t> b;

    Bytes& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& u8(std::uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& u16(std::uint16_t v) {
        b.push_back(static_cast<std::uint8_t>(v & 0xff));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
        return *this;
    }
    Bytes& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& u16s(std::initializer_list<std::uint16_t> vs) {
        for (auto v : vs) u16(v);
        return *this;
    }
    Bytes& zeros(std::size_t n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
    // magic, version, dim, n_vectors
    static Bytes header(std::uint32_t dim, std::uint32_t n, std::string_view magic = "KWR1",
                        std::uint8_t version = 1) {
        Bytes x;
        x.raw(magic).u8(version).u32(dim).u32(n);
        return x;
    }
};

std::vector<std::uint8_t> encode_rank(std::uint32_t dim, std::uint32_t n,
                                      const RowBuffer<std::uint16_t>& ranks,
                                      std::string_view magic = "KWR1") {
    Bytes x = Bytes::header(dim, n, magic);
    for (auto v : ranks) x.u16(v);
    return x.b;
}

// n rows, each a random permutation of [0, dim).
RowBuffer<std::uint16_t> random_ranks(std::size_t dim, std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint16_t> row(dim);
    RowBuffer<std::uint16_t> out;
    out.reserve(dim * n);
    std::iota(row.begin(), row.end(), std::uint16_t{0});
    for (std::size_t i = 0; i < n; ++i) {
        std::shuffle(row.begin(), row.end(), rng);
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    EXPECT_TRUE(f.good()) << path;
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

std::set<std::string> list_dir(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// Runs f, which must throw IoError (and nothing else); returns its message.
std::string io_error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const IoError& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "expected IoError, got another exception: " << e.what();
        return "<other exception>";
    }
    ADD_FAILURE() << "expected IoError, nothing was thrown";
    return "<no exception>";
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "kwivel_rank_io.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets the umask for a scope.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t m) : old_(::umask(m)) {}
    ~ScopedUmask() { ::umask(old_); }

private:
    mode_t old_;
};

// Independent prediction of the first permutation failure, or nothing.
std::optional<std::string> first_permutation_error(std::size_t dim,
                                                   const RowBuffer<std::uint16_t>& ranks) {
    for (std::size_t i = 0; i * dim < ranks.size(); ++i) {
        std::set<std::uint16_t> seen;
        for (std::size_t j = 0; j < dim; ++j) {
            const std::uint16_t v = ranks[i * dim + j];
            if (v >= dim)
                return "KWR1 rank value " + std::to_string(v) + " >= dim (" + std::to_string(dim) +
                       "); ranks must be a permutation of [0, dim)";
            if (!seen.insert(v).second)
                return "KWR1 row " + std::to_string(i) +
                       " is not a permutation of [0, dim): value " + std::to_string(v) +
                       " repeats";
        }
    }
    return std::nullopt;
}

// Sources with unusual behaviour, over a byte string.
class ScriptedSource : public kwivel::ByteSource {
public:
    ScriptedSource(std::vector<std::uint8_t> data, std::uint64_t reported_length,
                   std::size_t max_per_read)
        : data_(std::move(data)), length_(reported_length), max_per_read_(max_per_read) {}

    std::size_t read(void* dst, std::size_t n) override {
        n = std::min({n, max_per_read_, data_.size() - pos_});
        std::memcpy(dst, data_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    std::uint64_t position() const override { return pos_; }
    std::uint64_t length() const override { return length_; }

private:
    std::vector<std::uint8_t> data_;
    std::uint64_t length_;
    std::size_t max_per_read_;
    std::size_t pos_ = 0;
};

void expect_same_index(const RankIndex& got, std::size_t dim, std::size_t n,
                       const RowBuffer<std::uint16_t>& ranks) {
    EXPECT_EQ(got.dim(), dim);
    EXPECT_EQ(got.size(), n);
    EXPECT_TRUE(got.ranks() == ranks) << "ranks differ";
}

// ---------------------------------------------------------------------------
// Round trips.

struct Shape {
    std::uint32_t dim;
    std::uint32_t n;
};

class RankRoundTrip : public ::testing::TestWithParam<Shape> {};

TEST_P(RankRoundTrip, WriterEmitsTheLayoutAndLoadersReadItBack) {
    const auto [dim, n] = GetParam();
    const auto ranks = random_ranks(dim, n, dim * 7919u + n);
    const RankIndex index = RankIndex::from_parts(dim, n, ranks);
    const auto expected = encode_rank(dim, n, ranks);

    TempDir dir;
    const std::string path = dir / "index.kwr";
    kwivel::write_rank(index, path);
    EXPECT_TRUE(read_file(path) == expected) << "file bytes differ from the hand-built layout";
    EXPECT_EQ(list_dir(dir.path()), std::set<std::string>{"index.kwr"});

    expect_same_index(kwivel::load_rank(path), dim, n, ranks);
    expect_same_index(kwivel::load_rank_from_memory(expected.data(), expected.size()), dim, n,
                      ranks);
    // Three bytes per read: every multi-byte field and row straddles reads.
    ScriptedSource trickle(expected, expected.size(), 3);
    expect_same_index(kwivel::load_rank_from(trickle), dim, n, ranks);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RankRoundTrip,
    ::testing::Values(Shape{2, 0}, Shape{2, 1}, Shape{5, 7}, Shape{7, 5000},  // crosses 8 KiB
                      Shape{768, 3}, Shape{769, 1400},                        // > 1 MiB, odd rows
                      Shape{65535, 2}),
    [](const auto& info) {
        return "dim" + std::to_string(info.param.dim) + "_n" + std::to_string(info.param.n);
    });

TEST(RankFile, EmptyIndexIsThirteenBytesAndLoadsEmpty) {
    TempDir dir;
    const std::string path = dir / "empty.kwr";
    kwivel::write_rank(RankIndex(3), path);
    const std::vector<std::uint8_t> expected = {'K', 'W', 'R', '1', 1, 3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(read_file(path), expected);
    const RankIndex back = kwivel::load_rank(path);
    EXPECT_EQ(back.dim(), 3u);
    EXPECT_EQ(back.size(), 0u);
    EXPECT_TRUE(back.ranks().empty());
}

TEST(RankFile, LegacyMagicLoadsAndIsWrittenBackAsKwr1) {
    const auto ranks = random_ranks(300, 4, 42);  // values above 255 exercise both bytes
    const auto legacy = encode_rank(300, 4, ranks, "HYR1");
    TempDir dir;
    write_file(dir / "old.hyr", legacy);

    const RankIndex from_file = kwivel::load_rank(dir / "old.hyr");
    expect_same_index(from_file, 300, 4, ranks);
    expect_same_index(kwivel::load_rank_from_memory(legacy.data(), legacy.size()), 300, 4, ranks);

    kwivel::write_rank(from_file, dir / "new.kwr");
    EXPECT_TRUE(read_file(dir / "new.kwr") == encode_rank(300, 4, ranks, "KWR1"));
}

TEST(RankFile, OverwriteReplacesContentAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir / "x.kwr";
    const auto a = random_ranks(16, 100, 1);
    const auto b = random_ranks(9, 3, 2);
    kwivel::write_rank(RankIndex::from_parts(16, 100, a), path);
    kwivel::write_rank(RankIndex::from_parts(9, 3, b), path);
    EXPECT_TRUE(read_file(path) == encode_rank(9, 3, b));
    EXPECT_EQ(list_dir(dir.path()), std::set<std::string>{"x.kwr"});
}

TEST(RankFile, RelativePathWritesIntoTheWorkingDirectory) {
    TempDir dir;
    const fs::path old_cwd = fs::current_path();
    fs::current_path(dir.path());
    const auto ranks = random_ranks(4, 2, 3);
    std::string err;
    try {
        kwivel::write_rank(RankIndex::from_parts(4, 2, ranks), "plain.kwr");
    } catch (const std::exception& e) {
        err = e.what();
    }
    fs::current_path(old_cwd);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(read_file(dir / "plain.kwr") == encode_rank(4, 2, ranks));
}

class RankFileMode : public ::testing::TestWithParam<mode_t> {};

TEST_P(RankFileMode, NewFileGetsTheUsualCreateMode) {
    const mode_t mask = GetParam();
    TempDir dir;
    struct stat st {};
    {
        ScopedUmask scoped(mask);
        kwivel::write_rank(RankIndex(2), dir / "m.kwr");
        // What an ordinary create gives under the same umask.
        const int fd = ::open((dir / "ref").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    ASSERT_EQ(::stat((dir / "m.kwr").c_str(), &st), 0);
    const mode_t got = st.st_mode & 07777;
    ASSERT_EQ(::stat((dir / "ref").c_str(), &st), 0);
    EXPECT_EQ(got, st.st_mode & 07777);
    EXPECT_EQ(got, 0666 & ~mask);
}

INSTANTIATE_TEST_SUITE_P(Umasks, RankFileMode, ::testing::Values(022, 077, 002, 0));

// ---------------------------------------------------------------------------
// Load failures, in the order the checks run.

struct LoadCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string message;
};

std::string perm_value_msg(unsigned v, unsigned dim) {
    return "KWR1 rank value " + std::to_string(v) + " >= dim (" + std::to_string(dim) +
           "); ranks must be a permutation of [0, dim)";
}
std::string perm_repeat_msg(unsigned row, unsigned v) {
    return "KWR1 row " + std::to_string(row) + " is not a permutation of [0, dim): value " +
           std::to_string(v) + " repeats";
}

std::vector<LoadCase> load_cases() {
    const std::string wrong_magic = "not an KWR1/HYR1 (Rank) file: wrong magic";
    std::vector<LoadCase> cases = {
        {"Empty", {}, "KWR1 header truncated while reading magic"},
        {"ThreeBytes", Bytes().raw("KWR").b, "KWR1 header truncated while reading magic"},
        {"WrongMagic", Bytes().raw("KWRQ").u8(1).u32(4).u32(0).b, wrong_magic},
        {"LowercaseMagic", Bytes().raw("kwr1").u8(1).u32(4).u32(0).b, wrong_magic},
        {"WrongMagicShortFile", Bytes().raw("ABCD").b, wrong_magic},
        {"MagicOnly", Bytes().raw("KWR1").b, "KWR1 header truncated while reading version"},
        {"LegacyMagicOnly", Bytes().raw("HYR1").b, "KWR1 header truncated while reading version"},
        {"Version0", Bytes::header(4, 0, "KWR1", 0).b, "unsupported KWR1 version: 0"},
        {"Version2", Bytes::header(4, 0, "KWR1", 2).b, "unsupported KWR1 version: 2"},
        {"Version255", Bytes::header(4, 0, "KWR1", 255).b, "unsupported KWR1 version: 255"},
        {"Version2NothingAfter", Bytes().raw("KWR1").u8(2).b, "unsupported KWR1 version: 2"},
        {"LegacyVersion2", Bytes::header(4, 0, "HYR1", 2).b, "unsupported KWR1 version: 2"},
        {"SevenBytes", Bytes().raw("KWR1").u8(1).u8(4).u8(0).b,
         "KWR1 header truncated while reading dim"},
        {"Dim0", Bytes::header(0, 0).b, "dim 0 out of range [2, 65535]"},
        {"Dim1NothingAfter", Bytes().raw("KWR1").u8(1).u32(1).b, "dim 1 out of range [2, 65535]"},
        {"Dim65536", Bytes::header(65536, 0).b, "dim 65536 out of range [2, 65535]"},
        {"DimMaxU32", Bytes::header(0xFFFFFFFFu, 1).b, "dim 4294967295 out of range [2, 65535]"},
        {"NVectorsTruncated", Bytes().raw("KWR1").u8(1).u32(4).u8(1).u8(0).b,
         "KWR1 header truncated while reading n_vectors"},
        {"NVectorsAboveLimit", Bytes::header(4, 67108865).b,
         "n_vectors 67108865 exceeds MAX_VECTORS=67108864"},
        {"NVectorsMaxU32", Bytes::header(2, 0xFFFFFFFFu).b,
         "n_vectors 4294967295 exceeds MAX_VECTORS=67108864"},
        // 65535 * 67108864 * 2 = 8795958804480
        {"LargestHeaderOverMaxPayload", Bytes::header(65535, 67108864).b,
         "payload 8795958804480 B exceeds MAX_PAYLOAD=137438953472"},
        // 32768 * 2097153 * 2 = 2^37 + 65536
        {"JustOverMaxPayload", Bytes::header(32768, 2097153).b,
         "payload 137439019008 B exceeds MAX_PAYLOAD=137438953472"},
        // Exactly 2^37 passes the limit and fails on the missing bytes, before
        // anything is allocated.
        {"ExactlyMaxPayload", Bytes::header(32768, 2097152).b,
         "KWR1 payload truncated: header declares 137438953472 B but file has 0 B remaining"},
        {"MaxVectorsAccepted", Bytes::header(2, 67108864).b,
         "KWR1 payload truncated: header declares 268435456 B but file has 0 B remaining"},
        {"TrailingByte", Bytes::header(4, 1).u16s({0, 1, 2, 3}).u8(0).b,
         "KWR1 payload has trailing bytes: header declares 8 B but file has 9 B remaining"},
        {"TrailingAfterEmpty", Bytes::header(4, 0).u8(7).b,
         "KWR1 payload has trailing bytes: header declares 0 B but file has 1 B remaining"},
        {"MissingByte", Bytes::header(4, 1).u16s({0, 1, 2}).u8(3).b,
         "KWR1 payload truncated: header declares 8 B but file has 7 B remaining"},
        {"TrailingBeatsBadRanks", Bytes::header(4, 1).u16s({9, 9, 9, 9}).u8(0).b,
         "KWR1 payload has trailing bytes: header declares 8 B but file has 9 B remaining"},
        {"MissingBeatsBadRanks", Bytes::header(4, 2).u16s({9, 9, 9, 9}).b,
         "KWR1 payload truncated: header declares 16 B but file has 8 B remaining"},
        {"RepeatInRow5",
         Bytes::header(4, 6)
             .u16s({0, 1, 2, 3, 3, 2, 1, 0, 1, 0, 3, 2, 2, 3, 0, 1, 0, 1, 2, 3, 0, 1, 1, 3})
             .b,
         perm_repeat_msg(5, 1)},
        {"ValueEqualsDim", Bytes::header(4, 1).u16s({0, 1, 4, 3}).b, perm_value_msg(4, 4)},
        {"ValueMaxU16", Bytes::header(4, 1).u16s({65535, 1, 2, 3}).b, perm_value_msg(65535, 4)},
        // Read big-endian, 0x0100 would be 1 and [1, 0] a valid row.
        {"HighByteIsDecoded", Bytes::header(2, 1).u16(0x0100).u16(0).b, perm_value_msg(256, 2)},
        {"RepeatBeforeOutOfRange", Bytes::header(4, 1).u16s({0, 2, 2, 9}).b, perm_repeat_msg(0, 2)},
        {"OutOfRangeBeforeRepeat", Bytes::header(4, 1).u16s({0, 9, 2, 2}).b, perm_value_msg(9, 4)},
        {"EarlierRowWins", Bytes::header(3, 3).u16s({0, 1, 2, 1, 1, 0, 7, 0, 1}).b,
         perm_repeat_msg(1, 1)},
        {"AllZeroRow", Bytes::header(2, 2).u16s({1, 0, 0, 0}).b, perm_repeat_msg(1, 0)},
    };
    return cases;
}

enum class Via { memory, file };

class RankLoadError : public ::testing::TestWithParam<std::tuple<LoadCase, Via>> {};

TEST_P(RankLoadError, ReportsTheFirstFailingCheck) {
    const LoadCase& c = std::get<0>(GetParam());
    if (std::get<1>(GetParam()) == Via::memory) {
        EXPECT_EQ(io_error_of([&] { kwivel::load_rank_from_memory(c.bytes.data(), c.bytes.size()); }),
                  c.message);
    } else {
        TempDir dir;
        write_file(dir / "case.kwr", c.bytes);
        EXPECT_EQ(io_error_of([&] { kwivel::load_rank(dir / "case.kwr"); }), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RankLoadError,
    ::testing::Combine(::testing::ValuesIn(load_cases()), ::testing::Values(Via::memory, Via::file)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == Via::memory ? "_Memory" : "_File");
    });

TEST(RankLoad, StampsCarryOverRowsWithoutClearing) {
    // Every row reuses the previous row's values; none of them may count as
    // a repeat.  Row 3 repeats within itself.
    const auto bytes = Bytes::header(3, 4).u16s({0, 1, 2, 2, 1, 0, 1, 2, 0, 0, 2, 0}).b;
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank_from_memory(bytes.data(), bytes.size()); }),
              perm_repeat_msg(3, 0));
}

// Corruptions at piece boundaries of a payload several read pieces long
// (769 u16 per row: rows never line up with powers of two).  Pieces may be
// checked out of order; the lowest bad row must still win.
struct Corruption {
    std::size_t row;
    std::size_t col;
    std::uint16_t value;  // 0xFFFF: copy the row's previous element instead
};

struct LargeCase {
    std::size_t n;  // 1000 rows: two pieces, checked in turn; 2100: checked while reading
    std::vector<Corruption> hits;
};

class RankLoadLargeCorruption : public ::testing::TestWithParam<LargeCase> {};

TEST_P(RankLoadLargeCorruption, NamesTheFirstBadRowInFileOrder) {
    const std::size_t dim = 769, n = GetParam().n;
    auto ranks = random_ranks(dim, n, 99);
    for (const auto& c : GetParam().hits)
        ranks[c.row * dim + c.col] = c.value == 0xFFFF ? ranks[c.row * dim + c.col - 1] : c.value;
    const auto expected = first_permutation_error(dim, ranks);
    ASSERT_TRUE(expected.has_value());
    const auto bytes = encode_rank(dim, n, ranks);
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank_from_memory(bytes.data(), bytes.size()); }),
              *expected);
    TempDir dir;
    write_file(dir / "big.kwr", bytes);
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank(dir / "big.kwr"); }), *expected);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, RankLoadLargeCorruption,
    ::testing::Values(LargeCase{1000, {{0, 1, 0xFFFF}}},
                      LargeCase{1000, {{680, 768, 0xFFFF}}},
                      LargeCase{1000, {{681, 0, 769}}},
                      LargeCase{1000, {{999, 768, 0xFFFF}}},
                      LargeCase{1000, {{900, 3, 0xFFFF}, {700, 9, 5000}}},
                      LargeCase{1000, {{990, 3, 0xFFFF}, {10, 768, 0xFFFF}}},
                      LargeCase{2100, {{0, 1, 0xFFFF}}},
                      LargeCase{2100, {{680, 768, 0xFFFF}}},
                      LargeCase{2100, {{681, 0, 769}}},
                      LargeCase{2100, {{681, 5, 0xFFFF}}},
                      LargeCase{2100, {{1362, 0, 0xFFFE}}},
                      LargeCase{2100, {{2099, 768, 0xFFFF}}},
                      LargeCase{2100, {{2099, 768, 40000}}},
                      // Later pieces are bad too; only the first bad row counts.
                      LargeCase{2100, {{2050, 3, 0xFFFF}, {700, 9, 5000}}},
                      LargeCase{2100, {{2099, 1, 0xFFFF}, {1400, 2, 0xFFFF}, {1399, 768, 1}}},
                      LargeCase{2100, {{3, 2, 0xFFFF}, {2, 700, 0xFFFF}}}));

TEST(RankLoad, FirstBadRowWinsWhateverOrderPiecesAreCheckedIn) {
    // Many pieces (8192 rows of dim 64 each).  From piece 2 on, every piece
    // ends in a bad row and the next one starts with one, so with several
    // checking threads a later piece is often found bad while an earlier
    // one is still being scanned.  Repeated to give the schedules a chance.
    const std::size_t dim = 64, rows_per_piece = 8192, n = 12 * rows_per_piece;
    auto ranks = random_ranks(dim, n, 31);
    for (std::size_t k = 3; k < 12; ++k) {
        const std::size_t last = k * rows_per_piece - 1;  // last row of piece k - 1
        ranks[last * dim + 63] = ranks[last * dim + 62];
        ranks[(last + 1) * dim + 1] = ranks[(last + 1) * dim];
    }
    const auto expected = first_permutation_error(dim, ranks);
    ASSERT_EQ(expected, perm_repeat_msg(3 * 8192 - 1, ranks[(3 * 8192 - 1) * dim + 62]));
    const auto bytes = encode_rank(dim, n, ranks);
    for (int rep = 0; rep < 20; ++rep) {
        ASSERT_EQ(io_error_of([&] { kwivel::load_rank_from_memory(bytes.data(), bytes.size()); }),
                  *expected)
            << "load " << rep;
    }
}

TEST(RankLoad, RandomCorruptionsMatchAnIndependentScan) {
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t dim = 2 + rng() % 40;
        const std::size_t n = 1 + rng() % 30;
        auto ranks = random_ranks(dim, n, static_cast<std::uint32_t>(rng()));
        const int hits = 1 + static_cast<int>(rng() % 3);
        for (int h = 0; h < hits; ++h) {
            const std::size_t at = rng() % ranks.size();
            ranks[at] = static_cast<std::uint16_t>(rng() % 3 == 0 ? rng() % 65536 : rng() % dim);
        }
        const auto bytes = encode_rank(static_cast<std::uint32_t>(dim),
                                       static_cast<std::uint32_t>(n), ranks);
        const auto expected = first_permutation_error(dim, ranks);
        if (expected) {
            EXPECT_EQ(io_error_of([&] { kwivel::load_rank_from_memory(bytes.data(), bytes.size()); }),
                      *expected)
                << "trial " << trial;
        } else {
            expect_same_index(kwivel::load_rank_from_memory(bytes.data(), bytes.size()), dim, n,
                              ranks);
        }
    }
}

TEST(RankLoad, SourceThatEndsEarlyFailsToFillTheBuffer) {
    // The length seen at open says the payload is there; the data stops
    // short (a file that shrank).  Bad ranks in the part that did arrive do
    // not get reported first.
    const auto full = encode_rank(4, 3, {0, 1, 2, 3, 3, 3, 3, 3, 0, 1, 2, 3});
    for (std::size_t keep : {13u, 14u, 20u, 36u}) {
        std::vector<std::uint8_t> part(full.begin(), full.begin() + keep);
        ScriptedSource src(part, full.size(), 1 << 20);
        EXPECT_EQ(io_error_of([&] { kwivel::load_rank_from(src); }), "failed to fill whole buffer")
            << "kept " << keep;
    }
    // Same over several read pieces: row 0 is bad, the data stops two
    // thirds in.  The read failure still comes first.
    auto ranks = random_ranks(769, 2100, 7);
    ranks[1] = ranks[0];
    const auto big = encode_rank(769, 2100, ranks);
    ScriptedSource src(std::vector<std::uint8_t>(big.begin(), big.begin() + big.size() * 2 / 3),
                       big.size(), 1 << 20);
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank_from(src); }), "failed to fill whole buffer");
}

TEST(RankLoad, PositionPastReportedLengthMeansNothingRemains) {
    // The data outgrew the length taken at open: remaining is 0, not a
    // wrapped-around count.
    const auto full = encode_rank(4, 1, {0, 1, 2, 3});
    ScriptedSource src(full, 5, 1 << 20);
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank_from(src); }),
              "KWR1 payload truncated: header declares 8 B but file has 0 B remaining");
    const auto empty = encode_rank(4, 0, {});
    ScriptedSource src2(empty, 5, 1 << 20);
    EXPECT_EQ(kwivel::load_rank_from(src2).size(), 0u);
}

// ---------------------------------------------------------------------------
// OS failures on load.

TEST(RankLoadOs, MissingFile) {
    TempDir dir;
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank(dir / "absent.kwr"); }),
              "No such file or directory (os error 2)");
}

TEST(RankLoadOs, DirectoryAsPath) {
    TempDir dir;
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank(dir.path()); }), "Is a directory (os error 21)");
}

TEST(RankLoadOs, ParentIsAFile) {
    TempDir dir;
    write_file(dir / "f", {1, 2, 3});
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank(dir / "f/x.kwr"); }),
              "Not a directory (os error 20)");
}

TEST(RankLoadOs, NulInPathIsRejectedBeforeOpening) {
    TempDir dir;
    const auto bytes = encode_rank(2, 1, {1, 0});
    write_file(dir / "a", bytes);
    // Cut at the NUL, the path names a valid file.
    const std::string path = dir / std::string("a\0b", 3);
    EXPECT_EQ(io_error_of([&] { kwivel::load_rank(path); }),
              "file name contained an unexpected NUL byte");
}

// ---------------------------------------------------------------------------
// Failed writes: the error names the OS failure, an existing file keeps its
// bytes and no temporary file is left.

class FailedWrite : public ::testing::Test {
protected:
    void SetUp() override {
        existing_ = encode_rank(3, 2, {2, 0, 1, 1, 2, 0});
        write_file(dir_ / "keep.kwr", existing_);
    }
    void expect_untouched(const std::set<std::string>& names) {
        EXPECT_TRUE(read_file(dir_ / "keep.kwr") == existing_) << "existing file changed";
        EXPECT_EQ(list_dir(dir_.path()), names);
    }
    RankIndex big_index() const { return RankIndex::from_parts(768, 100, random_ranks(768, 100, 5)); }

    TempDir dir_;
    std::vector<std::uint8_t> existing_;
};

TEST_F(FailedWrite, DirectoryDoesNotExist) {
    EXPECT_EQ(io_error_of([&] { kwivel::write_rank(big_index(), dir_ / "nope/x.kwr"); }),
              "No such file or directory (os error 2)");
    expect_untouched({"keep.kwr"});
}

TEST_F(FailedWrite, ParentIsAFile) {
    EXPECT_EQ(io_error_of([&] { kwivel::write_rank(big_index(), dir_ / "keep.kwr/x.kwr"); }),
              "Not a directory (os error 20)");
    expect_untouched({"keep.kwr"});
}

TEST_F(FailedWrite, NulInPathCreatesNothing) {
    EXPECT_EQ(io_error_of([&] {
                  kwivel::write_rank(big_index(), dir_ / std::string("keep.kwr\0x", 10));
              }),
              "file name contained an unexpected NUL byte");
    expect_untouched({"keep.kwr"});
}

TEST_F(FailedWrite, TargetIsADirectory) {
    // The temporary file is written in full; the rename fails and the
    // temporary file must go.
    fs::create_directory(dir_ / "sub");
    write_file(dir_ / "sub/inner", {9});
    EXPECT_EQ(io_error_of([&] { kwivel::write_rank(big_index(), dir_ / "sub"); }),
              "Is a directory (os error 21)");
    expect_untouched({"keep.kwr", "sub"});
    EXPECT_EQ(list_dir(dir_ / "sub"), std::set<std::string>{"inner"});
}

TEST_F(FailedWrite, TemporaryNameTooLongOverExistingFile) {
    // A 250-byte name exists; with the temporary suffix it exceeds NAME_MAX.
    const std::string name(250, 'k');
    write_file(dir_ / name, existing_);
    EXPECT_EQ(io_error_of([&] { kwivel::write_rank(big_index(), dir_ / name); }),
              "File name too long (os error 36)");
    EXPECT_TRUE(read_file(dir_ / name) == existing_);
    expect_untouched({"keep.kwr", name});
}

// Writes that fail part-way: the file size limit turns writes past it into
// EFBIG (with SIGXFSZ ignored).  The limits fall before the first buffer
// flush, on it, and in the middle of the large direct write.
class FailedWriteMidway : public FailedWrite, public ::testing::WithParamInterface<rlim_t> {};

TEST_P(FailedWriteMidway, ExistingFileKeepsItsBytes) {
    const RankIndex index = big_index();
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = GetParam();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
    const std::string msg = io_error_of([&] { kwivel::write_rank(index, dir_ / "keep.kwr"); });
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(msg, "File too large (os error 27)");
    expect_untouched({"keep.kwr"});
}

INSTANTIATE_TEST_SUITE_P(Limits, FailedWriteMidway,
                         ::testing::Values(rlim_t{0}, rlim_t{12}, rlim_t{8192}, rlim_t{8200},
                                           rlim_t{100000}));

// ---------------------------------------------------------------------------
// Framing blocks on their own, as other formats use them.

TEST(Framing, PayloadSizeOverflowIsReported) {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(io_error_of([&] { kwivel::checked_payload_bytes("KWR1", {max / 2 + 1, 2}); }),
              "KWR1 payload size overflows usize");
    EXPECT_EQ(io_error_of([&] {
                  kwivel::checked_payload_bytes("XYZ1", {std::size_t{1} << 32, std::size_t{1} << 31, 2});
              }),
              "XYZ1 payload size overflows usize");
    EXPECT_EQ(kwivel::checked_payload_bytes("KWR1", {65535, 67108864, 2}), 8795958804480u);
    EXPECT_EQ(kwivel::checked_payload_bytes("KWR1", {max / 2, 2}), max - 1);
}

TEST(Framing, ReadLeVecDecodesWiderTypes) {
    Bytes x;
    x.u32(0x01020304u).u32(0xFFFFFFFFu).u32(7);
    const std::uint64_t big = 0x0102030405060708ull;
    for (int i = 0; i < 8; ++i) x.u8(static_cast<std::uint8_t>(big >> (8 * i)));
    const float f = -1.5f;  // 0xBFC00000
    x.u8(0x00).u8(0x00).u8(0xC0).u8(0xBF);

    kwivel::MemorySource src(x.b.data(), x.b.size());
    kwivel::BufferedReader r(src);
    EXPECT_EQ(kwivel::read_le_vec<std::uint32_t>(r, 3),
              (std::vector<std::uint32_t>{0x01020304u, 0xFFFFFFFFu, 7}));
    EXPECT_EQ(r.position(), 12u);
    EXPECT_EQ(r.remaining(), 12u);
    EXPECT_EQ(kwivel::read_le_vec<std::uint64_t>(r, 1), std::vector<std::uint64_t>{big});
    EXPECT_EQ(kwivel::read_le_vec<float>(r, 1), std::vector<float>{f});
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(io_error_of([&] { kwivel::read_le_vec<std::uint16_t>(r, 1); }),
              "failed to fill whole buffer");
}

TEST(Framing, ReadLeVecHandsOverPiecesInOrder) {
    std::vector<std::uint16_t> values(1000);
    std::iota(values.begin(), values.end(), std::uint16_t{300});
    Bytes x;
    for (auto v : values) x.u16(v);
    kwivel::MemorySource src(x.b.data(), x.b.size());
    kwivel::BufferedReader r(src);
    std::vector<std::uint16_t> seen;
    std::vector<std::size_t> sizes;
    const auto got = kwivel::read_le_vec<std::uint16_t>(r, 1000, 300, [&](const std::uint16_t* p,
                                                                          std::size_t n) {
        seen.insert(seen.end(), p, p + n);
        sizes.push_back(n);
    });
    EXPECT_EQ(got, values);
    EXPECT_EQ(seen, values);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{300, 300, 300, 100}));
    EXPECT_EQ(got.capacity(), 1000u);
}

TEST(Framing, ImpossibleAllocationIsAnIoError) {
    const std::uint8_t none[1] = {0};
    kwivel::MemorySource src(none, 0);
    kwivel::BufferedReader r(src);
    EXPECT_EQ(io_error_of([&] {
                  kwivel::read_le_vec<std::uint64_t>(r, std::numeric_limits<std::size_t>::max() / 4);
              }),
              "payload allocation too large");
}

TEST(Framing, ReaderPositionExcludesBufferedBytes) {
    std::vector<std::uint8_t> data(20000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
    kwivel::MemorySource src(data.data(), data.size());
    kwivel::BufferedReader r(src);
    std::uint8_t b[5];
    ASSERT_EQ(r.read_up_to(b, 5), 5u);
    EXPECT_EQ(src.position(), 8192u);  // one buffer fill
    EXPECT_EQ(r.position(), 5u);
    EXPECT_EQ(r.remaining(), 19995u);
    std::vector<std::uint8_t> rest(30000);
    EXPECT_EQ(r.read_up_to(rest.data(), rest.size()), 19995u);
    EXPECT_TRUE(std::equal(data.begin() + 5, data.end(), rest.begin()));
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(Framing, HeaderFieldsOfAnotherFormat) {
    static constexpr std::string_view magics[] = {"ABC9"};
    const kwivel::FormatFraming fmt{"ABC9", "Thing", magics};
    const auto bytes = Bytes().raw("ABC9").u8(1).u32(0xA1B2C3D4u).u8(1).b;
    kwivel::MemorySource src(bytes.data(), bytes.size());
    kwivel::BufferedReader r(src);
    EXPECT_EQ(kwivel::read_magic(r, fmt), 0u);
    EXPECT_EQ(kwivel::read_version(r, fmt.label), 1u);
    EXPECT_EQ(kwivel::read_u32_le(r, fmt.label, "width"), 0xA1B2C3D4u);
    EXPECT_EQ(io_error_of([&] { kwivel::read_u32_le(r, fmt.label, "height"); }),
              "ABC9 header truncated while reading height");

    const auto wrong = Bytes().raw("KWR1").b;
    kwivel::MemorySource src2(wrong.data(), wrong.size());
    kwivel::BufferedReader r2(src2);
    EXPECT_EQ(io_error_of([&] { kwivel::read_magic(r2, fmt); }),
              "not an ABC9 (Thing) file: wrong magic");
}

// Records every write the buffered writer passes down.
class RecordingSink : public kwivel::ByteSink {
public:
    void write_all(const void* src, std::size_t n) override {
        auto* p = static_cast<const std::uint8_t*>(src);
        data.insert(data.end(), p, p + n);
        calls.push_back(n);
    }
    std::vector<std::uint8_t> data;
    std::vector<std::size_t> calls;
};

TEST(Framing, WriterCoalescesSmallWritesAndPassesLargeOnes) {
    RecordingSink sink;
    kwivel::BufferedWriter w(sink);
    Bytes expected;
    static constexpr std::string_view magics[] = {"ABC9"};
    kwivel::write_preamble(w, kwivel::FormatFraming{"ABC9", "Thing", magics});
    expected.raw("ABC9").u8(1);
    for (std::uint32_t i = 0; i < 3000; ++i) {  // 12000 bytes of fields
        w.write_u32_le(i * 2654435761u);
        expected.u32(i * 2654435761u);
    }
    std::vector<std::uint16_t> block(20000);
    std::iota(block.begin(), block.end(), std::uint16_t{1000});
    w.write_le_vec(block.data(), block.size());
    for (auto v : block) expected.u16(v);
    w.write_u32_le(5);
    expected.u32(5);
    EXPECT_TRUE(sink.calls.size() >= 1 && sink.data.size() < expected.b.size());
    w.flush();
    EXPECT_TRUE(sink.data == expected.b);
    // 12005 buffered bytes need 2 sink writes, the block goes down whole, the
    // last field is flushed: 4 writes in all, none of the small ones alone.
    EXPECT_EQ(sink.calls.size(), 4u);
    for (std::size_t i = 0; i + 1 < sink.calls.size(); ++i)
        EXPECT_GE(sink.calls[i], 3813u) << "write " << i;
}

}  // namespace
