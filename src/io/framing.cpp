#include "io/framing.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

#include "base/parallel.h"

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

// Temporaries of a target NAME are ".NAME.<pid>.<random>.tmp" in NAME's
// directory: <pid> is the writer's process id in decimal, <random> one or
// more ASCII letters and digits (the Python package names its temporaries
// the same way).  A writer killed before its rename leaves its temporary
// behind; nothing else ever removes it, so each write first removes the
// temporaries of its target whose writer is gone.
//
// "Gone" is decided by kill(pid, 0) failing with ESRCH: no process has that
// id.  A live writer, in this process or another, answers (0, or EPERM for
// another user's) and its temporary stays.  A dead writer's id reused by an
// unrelated process only keeps a stale file a while longer.  Names of other
// shapes, and temporaries of other targets, are never touched.

// The writer's pid if name is a temporary of base as above; 0 otherwise.
pid_t temporary_writer(std::string_view name, std::string_view base) {
    constexpr std::string_view kSuffix = ".tmp";
    if (name.size() < base.size() + 2 || name[0] != '.' || name.substr(1, base.size()) != base ||
        name[base.size() + 1] != '.')
        return 0;
    name.remove_prefix(base.size() + 2);
    if (name.size() < kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix)
        return 0;
    name.remove_suffix(kSuffix.size());
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 9 || name[0] == '0') return 0;
    pid_t pid = 0;
    for (const char c : name.substr(0, dot)) {
        if (c < '0' || c > '9') return 0;
        pid = pid * 10 + (c - '0');  // at most 9 digits: no overflow
    }
    const std::string_view random = name.substr(dot + 1);
    if (random.empty()) return 0;
    for (const char c : random) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return 0;
    }
    return pid;
}

// Best effort: a directory that cannot be listed, or a temporary that cannot
// be removed, leaves the write itself to succeed or fail on its own.
void remove_stale_temporaries(const std::string& dir, std::string_view base) {
    if (base.empty()) return;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(d)) {
        const pid_t pid = temporary_writer(e->d_name, base);
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) stale.emplace_back(e->d_name);
    }
    for (const std::string& name : stale) (void)::unlinkat(::dirfd(d), name.c_str(), 0);
    ::closedir(d);
}

// Owns the temporary file until it has been renamed into place.
class TempFile {
public:
    // dir_prefix is the target's directory with its trailing '/' (empty for
    // a bare name); base the target's last component.
    TempFile(const std::string& dir_prefix, const std::string& base)
        : name_(dir_prefix + "." + base + "." + std::to_string(::getpid()) + ".XXXXXX.tmp") {
        int fd;
        do {
            fd = ::mkostemps(name_.data(), 4, O_CLOEXEC);
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
    const std::size_t slash = path.rfind('/');
    const std::string dir_prefix = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = path.substr(dir_prefix.size());
    remove_stale_temporaries(parent_dir(path), base);
    TempFile tmp(dir_prefix, base);
    if (::fchmod(tmp.fd(), 0666 & ~current_umask()) != 0) throw_os_error(errno);
    FdSink sink(tmp.fd());
    BufferedWriter w(sink);
    body(w);
    w.flush();
    tmp.sync_and_close();
    tmp.rename_to(path);
    fsync_dir(parent_dir(path));
}

}  // namespace kwivel
