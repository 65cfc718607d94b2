#include "rank_io.h"

#include "quant.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "parallel.h"

namespace kwivel {

// ---------------------------------------------------------------------------
// Errors.

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); take whichever the C library declares.
[[maybe_unused]] const char* strerror_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_text(int result, const char* buf) {
    return result == 0 ? buf : "Unknown error";
}

// Largest count handed to one read() or write() call.
constexpr std::size_t kMaxSyscallBytes = std::size_t{1} << 30;

}  // namespace

std::string os_error_message(int errnum) {
    char buf[256];
    buf[0] = '\0';
    const char* text = strerror_text(strerror_r(errnum, buf, sizeof buf), buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

void throw_os_error(int errnum) { throw IoError(os_error_message(errnum)); }

void check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw IoError("file name contained an unexpected NUL byte");
}

// ---------------------------------------------------------------------------
// Sources.

FileSource::FileSource(const std::string& path) {
    check_path(path);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        throw_os_error(e);
    }
    fd_ = fd;
    len_ = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
#ifdef POSIX_FADV_SEQUENTIAL
    (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t FileSource::read(void* dst, std::size_t n) {
    n = std::min(n, kMaxSyscallBytes);
    for (;;) {
        const ssize_t got = ::read(fd_, dst, n);
        if (got >= 0) {
            pos_ += static_cast<std::uint64_t>(got);
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) throw_os_error(errno);
    }
}

std::size_t MemorySource::read(void* dst, std::size_t n) {
    n = std::min(n, size_ - pos_);
    if (n != 0) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return n;
}

std::size_t BufferedReader::read_up_to(void* dst, std::size_t n) {
    auto* out = static_cast<std::uint8_t*>(dst);
    std::size_t done = 0;
    while (done < n) {
        if (begin_ < end_) {
            const std::size_t take = std::min(n - done, end_ - begin_);
            std::memcpy(out + done, buf_.data() + begin_, take);
            begin_ += take;
            done += take;
            continue;
        }
        std::size_t got;
        if (n - done >= buf_.size()) {
            // Large read: skip the buffer.
            got = src_.read(out + done, n - done);
            done += got;
        } else {
            got = src_.read(buf_.data(), buf_.size());
            begin_ = 0;
            end_ = got;
        }
        if (got == 0) break;
    }
    return done;
}

// ---------------------------------------------------------------------------
// Framing: header.

IoError truncated_field(std::string_view label, std::string_view field) {
    std::string msg(label);
    msg += " header truncated while reading ";
    msg += field;
    return IoError(msg);
}

std::size_t read_magic(BufferedReader& r, const FormatFraming& format) {
    char magic[4];
    if (r.read_up_to(magic, 4) != 4) throw truncated_field(format.label, "magic");
    for (std::size_t i = 0; i < format.magics.size(); ++i) {
        if (std::string_view(magic, 4) == format.magics[i]) return i;
    }
    std::string msg = "not an ";
    for (std::size_t i = 0; i < format.magics.size(); ++i) {
        if (i != 0) msg += '/';
        msg += format.magics[i];
    }
    msg += " (";
    msg += format.kind;
    msg += ") file: wrong magic";
    throw IoError(msg);
}

std::uint8_t read_version(BufferedReader& r, std::string_view label) {
    std::uint8_t v;
    if (r.read_up_to(&v, 1) != 1) throw truncated_field(label, "version");
    if (v != 1) throw IoError("unsupported " + std::string(label) + " version: " + std::to_string(v));
    return v;
}

std::uint32_t read_u32_le(BufferedReader& r, std::string_view label, std::string_view field) {
    std::uint8_t b[4];
    if (r.read_up_to(b, 4) != 4) throw truncated_field(label, field);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint8_t read_u8(BufferedReader& r, std::string_view label, std::string_view field) {
    std::uint8_t v;
    if (r.read_up_to(&v, 1) != 1) throw truncated_field(label, field);
    return v;
}

void check_n_vectors(std::uint64_t n_vectors) {
    if (n_vectors > MAX_VECTORS)
        throw IoError("n_vectors " + std::to_string(n_vectors) +
                      " exceeds MAX_VECTORS=" + std::to_string(MAX_VECTORS));
}

std::size_t checked_payload_bytes(std::string_view label,
                                  std::initializer_list<std::size_t> factors) {
    std::size_t bytes = 1;
    for (const std::size_t f : factors) {
        if (__builtin_mul_overflow(bytes, f, &bytes))
            throw IoError(std::string(label) + " payload size overflows usize");
    }
    return bytes;
}

void check_payload_bytes(std::uint64_t bytes) {
    if (bytes > MAX_PAYLOAD)
        throw IoError("payload " + std::to_string(bytes) +
                      " B exceeds MAX_PAYLOAD=" + std::to_string(MAX_PAYLOAD));
}

void check_payload_matches_file(const BufferedReader& r, std::string_view label,
                                std::uint64_t declared) {
    const std::uint64_t remaining = r.remaining();
    if (remaining == declared) return;
    std::string msg(label);
    msg += remaining < declared ? " payload truncated" : " payload has trailing bytes";
    msg += ": header declares " + std::to_string(declared) + " B but file has " +
           std::to_string(remaining) + " B remaining";
    throw IoError(msg);
}

// ---------------------------------------------------------------------------
// Writing.

void FdSink::write_all(const void* src, std::size_t n) {
    auto* p = static_cast<const std::uint8_t*>(src);
    while (n != 0) {
        const ssize_t put = ::write(fd_, p, std::min(n, kMaxSyscallBytes));
        if (put < 0) {
            if (errno == EINTR) continue;
            throw_os_error(errno);
        }
        if (put == 0) throw IoError("failed to write whole buffer");
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

void BufferedWriter::write_bytes(const void* src, std::size_t n) {
    if (n == 0) return;  // src may be null (an empty vector's data())
    auto* p = static_cast<const std::uint8_t*>(src);
    if (len_ + n > buf_.size()) flush();
    if (n >= buf_.size()) {
        sink_.write_all(p, n);
        return;
    }
    std::memcpy(buf_.data() + len_, p, n);
    len_ += n;
}

void BufferedWriter::flush() {
    if (len_ == 0) return;
    // Forget the buffered bytes even if the sink fails: a retry must not
    // write them twice.
    const std::size_t n = std::exchange(len_, 0);
    sink_.write_all(buf_.data(), n);
}

void write_preamble(BufferedWriter& w, const FormatFraming& format) {
    KW_ASSERT(!format.magics.empty() && format.magics[0].size() == 4, "magic must be 4 bytes");
    w.write_bytes(format.magics[0].data(), 4);
    w.write_u8(1);
}

namespace {

// The process umask, read without changing it where the kernel reports it.
mode_t current_umask() {
    if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            unsigned mask;
            if (std::sscanf(line, "Umask: %o", &mask) == 1) {
                std::fclose(f);
                return static_cast<mode_t>(mask);
            }
        }
        std::fclose(f);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

std::string parent_dir(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void fsync_dir(const std::string& dir) {
    int fd;
    do {
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(errno);
    const int rc = ::fsync(fd);
    const int e = errno;
    ::close(fd);
    // Some file systems cannot sync a directory; the rename stands anyway.
    if (rc != 0 && e != EINVAL) throw_os_error(e);
}

// Owns the temporary file until it has been renamed into place.
class TempFile {
public:
    explicit TempFile(const std::string& target) : name_(target + ".tmp.XXXXXX") {
        int fd;
        do {
            fd = ::mkostemp(name_.data(), O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) throw_os_error(errno);
        fd_ = fd;
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!renamed_) ::unlink(name_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }

    void sync_and_close() {
        if (::fsync(fd_) != 0) throw_os_error(errno);
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0 && errno != EINTR) throw_os_error(errno);
    }

    void rename_to(const std::string& target) {
        if (::rename(name_.c_str(), target.c_str()) != 0) throw_os_error(errno);
        renamed_ = true;
    }

private:
    std::string name_;
    int fd_ = -1;
    bool renamed_ = false;
};

}  // namespace

void write_file_atomically(const std::string& path,
                           const std::function<void(BufferedWriter&)>& body) {
    check_path(path);
    TempFile tmp(path);
    if (::fchmod(tmp.fd(), 0666 & ~current_umask()) != 0) throw_os_error(errno);
    FdSink sink(tmp.fd());
    BufferedWriter w(sink);
    body(w);
    w.flush();
    tmp.sync_and_close();
    tmp.rename_to(path);
    fsync_dir(parent_dir(path));
}

// ---------------------------------------------------------------------------
// Rank files.

namespace {

constexpr std::string_view kRankMagics[] = {"KWR1", "HYR1"};
constexpr FormatFraming kRankFormat{"KWR1", "Rank", kRankMagics};

constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);
// Payloads of at least this many read pieces are checked by pool threads
// while a reader thread is still reading.
constexpr std::size_t kOverlapMinChunks = 2;

// First row of a block that is not a permutation of [0, dim), or kNoRow.
// The block's rows are numbered from first_row; row i stamps i + 1 into the
// table, which therefore never needs clearing as long as one table sees
// each row at most once.
std::size_t find_bad_row(const std::uint16_t* block, std::size_t rows, std::size_t first_row,
                         std::size_t dim, std::uint32_t* stamps) {
    const std::uint32_t d = static_cast<std::uint32_t>(dim);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint16_t* p = block + r * dim;
        const std::uint32_t stamp = static_cast<std::uint32_t>(first_row + r + 1);
        for (std::uint32_t j = 0; j < d; ++j) {
            const std::uint32_t v = p[j];
            if (v >= d || stamps[v] == stamp) [[unlikely]]
                return first_row + r;
            stamps[v] = stamp;
        }
    }
    return kNoRow;
}

// The message for row i, naming its first offending value in column order.
std::string describe_bad_row(const std::uint16_t* row, std::size_t i, std::size_t dim) {
    std::vector<std::uint32_t> stamps(dim, 0);
    const std::uint32_t stamp = static_cast<std::uint32_t>(i + 1);
    for (std::size_t j = 0; j < dim; ++j) {
        const std::uint32_t v = row[j];
        if (v >= dim)
            return "KWR1 rank value " + std::to_string(v) + " >= dim (" + std::to_string(dim) +
                   "); ranks must be a permutation of [0, dim)";
        if (stamps[v] == stamp)
            return "KWR1 row " + std::to_string(i) + " is not a permutation of [0, dim): value " +
                   std::to_string(v) + " repeats";
        stamps[v] = stamp;
    }
    panic("row " + std::to_string(i) + " was reported bad but is a permutation");
}

// Reads the payload and checks each piece right after it arrives.
std::vector<std::uint16_t> read_ranks_checked(BufferedReader& r, std::size_t dim,
                                              std::size_t n_vectors, std::size_t rows_per_chunk,
                                              std::size_t& bad_row) {
    std::vector<std::uint32_t> stamps(dim, 0);
    std::size_t next_row = 0;
    bad_row = kNoRow;
    return read_le_vec<std::uint16_t>(
        r, dim * n_vectors, rows_per_chunk * dim, [&](const std::uint16_t* p, std::size_t n) {
            const std::size_t rows = n / dim;
            if (bad_row == kNoRow) bad_row = find_bad_row(p, rows, next_row, dim, stamps.data());
            next_row += rows;
        });
}

// Same result, with reading and checking overlapped: a reader thread fills
// the pieces in order and publishes how many are complete; pool threads
// claim pieces in order, wait until each has arrived and check it with a
// stamp table of their own.  The lowest bad row wins.  A read failure is
// rethrown here once every thread has stopped.  Returns false, having read
// nothing, when no reader thread can be started.
bool read_ranks_overlapped(BufferedReader& r, std::size_t dim, std::size_t n_vectors,
                           std::size_t rows_per_chunk, std::vector<std::uint16_t>& ranks,
                           std::size_t& bad_row) {
    constexpr std::size_t kAborted = static_cast<std::size_t>(-1);
    const std::size_t n_chunks = (n_vectors + rows_per_chunk - 1) / rows_per_chunk;
    std::atomic<std::size_t> ready{0};  // complete pieces, or kAborted
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<std::size_t> first_bad{kNoRow};
    const std::uint16_t* base = nullptr;  // set before the first piece is published
    std::exception_ptr read_error;

    std::thread reader;
    try {
        reader = std::thread([&] {
            try {
                // Into the caller's vector: checkers may still be reading
                // published pieces when a later read fails.
                read_le_into(r, ranks, dim * n_vectors, rows_per_chunk * dim,
                             [&](const std::uint16_t* p, std::size_t) {
                                 if (base == nullptr) base = p;
                                 ready.fetch_add(1, std::memory_order_release);
                                 ready.notify_all();
                             });
            } catch (...) {
                read_error = std::current_exception();
                ready.store(kAborted, std::memory_order_release);
                ready.notify_all();
            }
        });
    } catch (const std::system_error&) {
        return false;
    }

    const auto check_pieces = [&] {
        std::vector<std::uint32_t> stamps(dim, 0);
        for (;;) {
            const std::size_t c = next_chunk.fetch_add(1, std::memory_order_relaxed);
            if (c >= n_chunks) return;
            std::size_t seen = ready.load(std::memory_order_acquire);
            while (seen <= c) {
                ready.wait(seen, std::memory_order_acquire);
                seen = ready.load(std::memory_order_acquire);
            }
            if (seen == kAborted) return;
            const std::size_t row0 = c * rows_per_chunk;
            // An earlier row has already failed: later ones cannot matter.
            if (first_bad.load(std::memory_order_relaxed) < row0) return;
            const std::size_t rows = std::min(rows_per_chunk, n_vectors - row0);
            const std::size_t bad = find_bad_row(base + row0 * dim, rows, row0, dim, stamps.data());
            if (bad == kNoRow) continue;
            std::size_t cur = first_bad.load(std::memory_order_relaxed);
            while (bad < cur &&
                   !first_bad.compare_exchange_weak(cur, bad, std::memory_order_relaxed)) {
            }
        }
    };

    bool checked = true;
    try {
        // One thread of the pool's budget is the reader's.
        const std::size_t checkers = std::max<std::size_t>(1, pool_threads() - 1);
        parallel_for_each(0, checkers, [&](std::size_t) { check_pieces(); });
    } catch (...) {
        checked = false;  // the reader finishes on its own; check below instead
    }
    reader.join();
    if (read_error) std::rethrow_exception(read_error);
    if (checked) {
        bad_row = first_bad.load(std::memory_order_relaxed);
    } else {
        std::vector<std::uint32_t> stamps(dim, 0);
        bad_row = find_bad_row(ranks.data(), n_vectors, 0, dim, stamps.data());
    }
    return true;
}

}  // namespace

RankIndex load_rank_from(ByteSource& source) {
    BufferedReader r(source);
    read_magic(r, kRankFormat);
    read_version(r, kRankFormat.label);
    const std::uint32_t dim = read_u32_le(r, kRankFormat.label, "dim");
    if (dim < 2 || dim > MAX_DIM)
        throw IoError("dim " + std::to_string(dim) + " out of range [2, 65535]");
    const std::uint32_t n_vectors = read_u32_le(r, kRankFormat.label, "n_vectors");
    check_n_vectors(n_vectors);
    const std::size_t bytes =
        checked_payload_bytes(kRankFormat.label, {dim, n_vectors, sizeof(std::uint16_t)});
    check_payload_bytes(bytes);
    check_payload_matches_file(r, kRankFormat.label, bytes);

    // Whole rows per piece, about a megabyte each, so that every piece is
    // checked while it is still in cache.
    const std::size_t row_bytes = std::size_t{dim} * sizeof(std::uint16_t);
    const std::size_t rows_per_chunk = std::max<std::size_t>(1, LE_READ_CHUNK_BYTES / row_bytes);
    std::size_t bad_row = kNoRow;
    std::vector<std::uint16_t> ranks;
    const bool overlapped =
        n_vectors >= kOverlapMinChunks * rows_per_chunk &&
        read_ranks_overlapped(r, dim, n_vectors, rows_per_chunk, ranks, bad_row);
    if (!overlapped) ranks = read_ranks_checked(r, dim, n_vectors, rows_per_chunk, bad_row);
    if (bad_row != kNoRow) throw IoError(describe_bad_row(ranks.data() + bad_row * dim, bad_row, dim));
    return RankIndex::from_parts(dim, n_vectors, std::move(ranks));
}

RankIndex load_rank(const std::string& path) {
    FileSource source(path);
    return load_rank_from(source);
}

RankIndex load_rank_from_memory(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    return load_rank_from(source);
}

void write_rank(const RankIndex& index, const std::string& path) {
    const std::size_t dim = index.dim();
    const std::size_t n_vectors = index.size();
    const std::size_t bytes =
        checked_payload_bytes(kRankFormat.label, {dim, n_vectors, sizeof(std::uint16_t)});
    check_payload_bytes(bytes);
    KW_ASSERT(dim <= MAX_DIM && n_vectors <= MAX_VECTORS, "Rank index shape out of range");
    const std::vector<std::uint16_t>& ranks = index.ranks();
    KW_ASSERT(ranks.size() == dim * n_vectors, "Rank index length does not match its shape");
    write_file_atomically(path, [&](BufferedWriter& w) {
        write_preamble(w, kRankFormat);
        w.write_u32_le(static_cast<std::uint32_t>(dim));
        w.write_u32_le(static_cast<std::uint32_t>(n_vectors));
        w.write_le_vec(ranks.data(), ranks.size());
    });
}

// ---------------------------------------------------------------------------
// RankQuant files.

namespace {

constexpr std::string_view kQuantMagics[] = {"KWRQ", "HYRQ"};
constexpr FormatFraming kQuantFormat{"KWRQ", "RankQuant", kQuantMagics};

std::size_t quant_bytes_per_vec(std::size_t dim, unsigned bits) {
    std::size_t bits_total;
    if (__builtin_mul_overflow(dim, static_cast<std::size_t>(bits), &bits_total))
        throw IoError("KWRQ bytes_per_vec overflows usize");
    return bits_total / 8;
}

// The first row whose codes are not exactly dim / 2^bits of each value, as
// its message; empty when every row is balanced.
std::string find_unbalanced_row(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                                unsigned bits) {
    const std::size_t bpv = dim * bits / 8;
    const unsigned levels = 1u << bits;
    const std::size_t expect = dim >> bits;
    const unsigned per_byte = 8 / bits;
    const unsigned mask = levels - 1;
    for (std::size_t row = 0; row < n_vectors; ++row) {
        std::size_t count[16] = {};
        const std::uint8_t* p = codes + row * bpv;
        for (std::size_t j = 0; j < bpv; ++j)
            for (unsigned t = 0; t < per_byte; ++t) ++count[(p[j] >> (bits * (per_byte - 1 - t))) & mask];
        for (unsigned b = 0; b < levels; ++b) {
            if (count[b] != expect)
                return "KWRQ row " + std::to_string(row) + " violates constant composition: bucket " +
                       std::to_string(b) + " has " + std::to_string(count[b]) + " codes, expected " +
                       std::to_string(expect) + " (= dim / 2^bits)";
        }
    }
    return {};
}

}  // namespace

RankQuantIndex load_rank_quant_from(ByteSource& source) {
    const std::string_view label = kQuantFormat.label;
    BufferedReader r(source);
    read_magic(r, kQuantFormat);
    read_version(r, label);
    const unsigned bits = read_u8(r, label, "bits");
    if (bits != 1 && bits != 2 && bits != 4)
        throw IoError("unsupported KWRQ bits: " + std::to_string(bits) + " (expected 1, 2, or 4)");
    const std::uint32_t dim = read_u32_le(r, label, "dim");
    if (dim < 2 || dim > MAX_DIM) throw IoError("dim " + std::to_string(dim) + " out of range [2, 65535]");
    if (dim % (1u << bits) != 0)
        throw IoError("KWRQ dim " + std::to_string(dim) + " is not a multiple of 2^bits = " +
                      std::to_string(1u << bits) + "; constant-composition invariant violated");
    if (dim % (8 / bits) != 0)
        throw IoError("KWRQ dim " + std::to_string(dim) + " is not a multiple of codes_per_byte = " +
                      std::to_string(8 / bits));
    const std::uint32_t n_vectors = read_u32_le(r, label, "n_vectors");
    check_n_vectors(n_vectors);
    const std::size_t bpv = quant_bytes_per_vec(dim, bits);
    const std::size_t bytes = checked_payload_bytes(label, {n_vectors, bpv});
    check_payload_bytes(bytes);
    check_payload_matches_file(r, label, bytes);
    std::vector<std::uint8_t> codes = read_le_vec<std::uint8_t>(r, bytes);
    const std::string bad = find_unbalanced_row(codes.data(), n_vectors, dim, bits);
    if (!bad.empty()) throw IoError(bad);
    return RankQuantIndex::from_parts(dim, bits, n_vectors, std::move(codes));
}

RankQuantIndex load_rank_quant(const std::string& path) {
    FileSource source(path);
    return load_rank_quant_from(source);
}

RankQuantIndex load_rank_quant_from_memory(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    return load_rank_quant_from(source);
}

void write_rank_quant(const RankQuantIndex& index, const std::string& path) {
    const unsigned bits = index.bits();
    if (bits == 8)
        throw IoError(
            "RankQuant b=8 persistence is not supported yet (the .kwrq loader accepts bits \u2208 {1, 2, 4}); "
            "b=8 is an in-memory evidence surface in this phase");
    const std::size_t dim = index.dim();
    const std::size_t n_vectors = index.size();
    const std::size_t bpv = quant_bytes_per_vec(dim, bits);
    const std::size_t bytes = checked_payload_bytes(kQuantFormat.label, {n_vectors, bpv});
    check_payload_bytes(bytes);
    const std::vector<std::uint8_t>& codes = index.codes();
    KW_ASSERT(codes.size() == bytes, "RankQuant index length does not match its shape");
    KW_ASSERT(dim <= MAX_DIM && n_vectors <= MAX_VECTORS, "RankQuant index shape out of range");
    write_file_atomically(path, [&](BufferedWriter& w) {
        write_preamble(w, kQuantFormat);
        w.write_u8(static_cast<std::uint8_t>(bits));
        w.write_u32_le(static_cast<std::uint32_t>(dim));
        w.write_u32_le(static_cast<std::uint32_t>(n_vectors));
        w.write_le_vec(codes.data(), codes.size());
    });
}

}  // namespace kwivel
