// Binary files: the framing shared by kwivel's file formats (io/formats.h
// lists the formats built on it).
//
// Every format has the same frame, all little-endian:
//
//   magic    4 bytes ASCII (the first accepted magic is the one written)
//   version  1 byte, always 1
//   header   u32 fields, their meaning up to the format
//   payload  exactly the byte count the header declares, nothing after it
//
// A format describes itself with a FormatFraming (label for messages, kind
// name, accepted magics) and writes its loader as a straight sequence of the
// building blocks below: read_magic, read_version, read_u32_le per field
// (with its own range checks in between), checked_payload_bytes,
// check_payload_bytes, check_payload_matches_file, then read_le_vec (or
// read_le_into) for the payload.  Writers call write_file_atomically with a
// body that starts with write_preamble and then emits the header fields and
// payload through the BufferedWriter.  Every failure, whether an OS error or
// malformed content, is an IoError.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/limits.h"
#include "base/memory.h"

namespace kwivel {

// Largest payload any format accepts, in bytes (2^37).
inline constexpr std::uint64_t MAX_PAYLOAD = 137438953472ULL;
// Size of the read and write buffers.
inline constexpr std::size_t IO_BUFFER_SIZE = 8192;

// ---------------------------------------------------------------------------
// Errors.

// "<strerror(errnum)> (os error <errnum>)".
std::string os_error_message(int errnum);
[[noreturn]] void throw_os_error(int errnum);
// Rejects a path the OS could not be handed (embedded NUL).
void check_path(const std::string& path);

// ---------------------------------------------------------------------------
// Sources.

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Copies up to n bytes into dst; returns 0 only at the end of the data.
    // OS failures are thrown as IoError.
    virtual std::size_t read(void* dst, std::size_t n) = 0;
    // Bytes handed out by read() so far.
    virtual std::uint64_t position() const = 0;
    // Total length, fixed when the source was opened.
    virtual std::uint64_t length() const = 0;
};

// A file opened read-only; its length comes from fstat right after open.
class FileSource final : public ByteSource {
public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::size_t read(void* dst, std::size_t n) override;
    std::uint64_t position() const override { return pos_; }
    std::uint64_t length() const override { return len_; }

private:
    int fd_ = -1;
    std::uint64_t pos_ = 0;
    std::uint64_t len_ = 0;
};

// A borrowed byte range.
class MemorySource final : public ByteSource {
public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t read(void* dst, std::size_t n) override;
    std::uint64_t position() const override { return pos_; }
    std::uint64_t length() const override { return size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Buffered reads over a source.  Small reads go through an IO_BUFFER_SIZE
// buffer; reads of at least that size, once the buffer is drained, go
// straight from the source into the caller's memory.
class BufferedReader {
public:
    explicit BufferedReader(ByteSource& source) : src_(source) {}
    BufferedReader(const BufferedReader&) = delete;
    BufferedReader& operator=(const BufferedReader&) = delete;

    // Copies up to n bytes into dst, short only at the end of the source;
    // returns the count copied.
    std::size_t read_up_to(void* dst, std::size_t n);
    // Logical position: the source's position less what is still buffered.
    std::uint64_t position() const { return src_.position() - (end_ - begin_); }
    // Bytes left before the length the source had when opened (0 when the
    // position has passed it).
    std::uint64_t remaining() const {
        const std::uint64_t len = src_.length(), pos = position();
        return pos < len ? len - pos : 0;
    }

private:
    ByteSource& src_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::array<std::uint8_t, IO_BUFFER_SIZE> buf_;
};

// ---------------------------------------------------------------------------
// Framing: header.

struct FormatFraming {
    std::string_view label;                   // in messages, e.g. "KWR1"
    std::string_view kind;                    // e.g. "Rank"
    std::span<const std::string_view> magics;  // 4 bytes each; [0] is written
};

// "<label> header truncated while reading <field>".
IoError truncated_field(std::string_view label, std::string_view field);

// Reads the magic; returns the index of the accepted magic it matched.
std::size_t read_magic(BufferedReader& r, const FormatFraming& format);
// Reads the version byte; only 1 is accepted.
std::uint8_t read_version(BufferedReader& r, std::string_view label);
std::uint32_t read_u32_le(BufferedReader& r, std::string_view label, std::string_view field);
std::uint8_t read_u8(BufferedReader& r, std::string_view label, std::string_view field);

// Rejects n_vectors > MAX_VECTORS.
void check_n_vectors(std::uint64_t n_vectors);
// Product of the factors, "<label> payload size overflows usize" on overflow.
std::size_t checked_payload_bytes(std::string_view label,
                                  std::initializer_list<std::size_t> factors);
// Rejects payloads above MAX_PAYLOAD.
void check_payload_bytes(std::uint64_t bytes);
// The bytes after the header must be exactly the declared payload; checked
// before anything is allocated for it.
void check_payload_matches_file(const BufferedReader& r, std::string_view label,
                                std::uint64_t declared);

// ---------------------------------------------------------------------------
// Framing: payload.

namespace detail {

template <class T>
using le_uint_t = std::conditional_t<
    sizeof(T) == 1, std::uint8_t,
    std::conditional_t<sizeof(T) == 2, std::uint16_t,
                       std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

template <class U>
inline U byteswap_uint(U v) {
    if constexpr (sizeof(U) == 1) return v;
    if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(v));
    if constexpr (sizeof(U) == 4) return static_cast<U>(__builtin_bswap32(v));
    if constexpr (sizeof(U) == 8) return static_cast<U>(__builtin_bswap64(v));
}

// Converts count elements between little-endian and native order in place
// (a no-op on little-endian hosts).
template <class T>
inline void swap_le_in_place(T* data, std::size_t count) {
    if constexpr (std::endian::native != std::endian::little && sizeof(T) > 1) {
        using U = le_uint_t<T>;
        for (std::size_t i = 0; i < count; ++i) {
            U u;
            std::memcpy(&u, data + i, sizeof u);
            u = byteswap_uint(u);
            std::memcpy(data + i, &u, sizeof u);
        }
    } else {
        (void)data;
        (void)count;
    }
}

template <class T>
inline constexpr bool is_le_element_v =
    std::is_arithmetic_v<T> && !std::is_same_v<T, bool> &&
    (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);

}  // namespace detail

// Default piece size of read_le_vec, in bytes.
inline constexpr std::size_t LE_READ_CHUNK_BYTES = std::size_t{1} << 20;

// Reads count little-endian elements into out (cleared, then reserved to
// exactly count).  The payload is read in pieces of chunk_elems elements
// (the last one may be shorter) straight into out; after each piece is
// decoded, on_chunk(const T* piece, std::size_t n) sees it while it is still
// in cache.  A source that ends early throws "failed to fill whole buffer".
// out is the caller's, so pieces handed out stay valid even when a later
// read fails.
template <class T, class A, class OnChunk>
void read_le_into(BufferedReader& r, std::vector<T, A>& out, std::size_t count,
                  std::size_t chunk_elems, OnChunk&& on_chunk) {
    static_assert(detail::is_le_element_v<T>, "read_le_vec needs a plain numeric element type");
    out.clear();
    try {
        out.reserve(count);
    } catch (const std::bad_alloc&) {
        throw IoError("payload allocation too large");
    } catch (const std::length_error&) {
        throw IoError("payload allocation too large");
    }
    advise_huge_pages(out.data(), count * sizeof(T));
    if (chunk_elems == 0) chunk_elems = 1;
    std::size_t done = 0;
    while (done < count) {
        const std::size_t n = std::min(chunk_elems, count - done);
        out.resize(done + n);  // within the reservation: never reallocates
        T* piece = out.data() + done;
        if (r.read_up_to(piece, n * sizeof(T)) != n * sizeof(T))
            throw IoError("failed to fill whole buffer");
        detail::swap_le_in_place(piece, n);
        on_chunk(static_cast<const T*>(piece), n);
        done += n;
    }
}

// read_le_into returning a fresh vector (Vec: std::vector<T>, or a
// RowBuffer<T> for an index's rows).
template <class T, class Vec = std::vector<T>, class OnChunk>
Vec read_le_vec(BufferedReader& r, std::size_t count, std::size_t chunk_elems, OnChunk&& on_chunk) {
    Vec out;
    read_le_into(r, out, count, chunk_elems, std::forward<OnChunk>(on_chunk));
    return out;
}

template <class T, class Vec = std::vector<T>>
Vec read_le_vec(BufferedReader& r, std::size_t count) {
    return read_le_vec<T, Vec>(r, count, LE_READ_CHUNK_BYTES / sizeof(T), [](const T*, std::size_t) {});
}

// ---------------------------------------------------------------------------
// Writing.

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes all n bytes or throws IoError.
    virtual void write_all(const void* src, std::size_t n) = 0;
};

// Writes to an open file descriptor (not owned).
class FdSink final : public ByteSink {
public:
    explicit FdSink(int fd) : fd_(fd) {}
    void write_all(const void* src, std::size_t n) override;

private:
    int fd_;
};

// Buffered writes into a sink through an IO_BUFFER_SIZE buffer; writes of
// at least that size, once the buffer is flushed, go straight to the sink.
// Nothing is flushed on destruction: call flush() and let it throw.
class BufferedWriter {
public:
    explicit BufferedWriter(ByteSink& sink) : sink_(sink) {}
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    void write_bytes(const void* src, std::size_t n);
    void write_u8(std::uint8_t v) { write_bytes(&v, 1); }
    void write_u32_le(std::uint32_t v) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16),
                                   static_cast<std::uint8_t>(v >> 24)};
        write_bytes(b, 4);
    }
    // Writes count elements little-endian.
    template <class T>
    void write_le_vec(const T* data, std::size_t count);
    void flush();

private:
    ByteSink& sink_;
    std::size_t len_ = 0;
    std::array<std::uint8_t, IO_BUFFER_SIZE> buf_;
};

template <class T>
void BufferedWriter::write_le_vec(const T* data, std::size_t count) {
    static_assert(detail::is_le_element_v<T>, "write_le_vec needs a plain numeric element type");
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
        write_bytes(data, count * sizeof(T));
    } else {
        constexpr std::size_t kStep = IO_BUFFER_SIZE / sizeof(T);
        T tmp[kStep];
        for (std::size_t i = 0; i < count; i += kStep) {
            const std::size_t n = std::min(kStep, count - i);
            std::memcpy(tmp, data + i, n * sizeof(T));
            detail::swap_le_in_place(tmp, n);
            write_bytes(tmp, n * sizeof(T));
        }
    }
}

// Writes magic[0] and version 1.
void write_preamble(BufferedWriter& w, const FormatFraming& format);

// Replaces path with what body writes, never in place: the data goes to a
// temporary file ".NAME.<pid>.<random>.tmp" next to path (NAME its last
// component; created with the usual 0666 & ~umask mode), which is flushed,
// fsynced, closed and renamed over path; then the directory is fsynced.  On
// failure the temporary file is removed and an existing file at path is left
// as it was.  A writer killed before its rename cannot remove its temporary:
// each write first removes the temporaries of path whose pid names no live
// process (never a live writer's).
void write_file_atomically(const std::string& path,
                           const std::function<void(BufferedWriter&)>& body);

}  // namespace kwivel
