// The one routine that writes files: atomic replacement of regular files, in-place writing of
// what cannot be replaced, and nothing left behind.
#include <binmat/output.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace binmat {

output_error::output_error(const char *doing, const std::filesystem::path &path,
                           std::error_code reason)
    : std::filesystem::filesystem_error(doing, path, reason), doing_(doing) {}

same_file_error::same_file_error(const std::filesystem::path &output,
                                 const std::filesystem::path &other)
    : std::invalid_argument(output.string() + " is also " + other.string() +
                            ": writing it would destroy what is read"),
      output_(output), other_(other) {}

} // namespace binmat

namespace {

namespace fs = std::filesystem;
using binmat::output_error;

[[maybe_unused]] constexpr const char RCSid[] = "$Id: output_file.cpp binmat $";

constexpr const char *cannot_open = "cannot open for writing";
constexpr const char *cannot_write = "cannot write";
constexpr const char *cannot_place = "cannot put in place";

[[noreturn]] void fail(const char *doing, const fs::path &path, int error) {
    throw output_error(doing, path,
                       std::error_code(error != 0 ? error : EIO, std::generic_category()));
}

// The hidden names of this process's uncommitted outputs, where a signal handler can find them:
// fixed storage, filled and emptied with atomic flags, never allocated.
struct pending_name {
    std::atomic<int> state{0}; // 0 free, 1 claimed, 2 holds a name
    int directory = -1;
    char name[NAME_MAX + 1] = {};
};
std::array<pending_name, 64> pending_names;

int remember(int directory, const std::string &name) {
    for (std::size_t i = 0; i < pending_names.size(); ++i) {
        int expected = 0;
        if (pending_names[i].state.compare_exchange_strong(expected, 1)) {
            pending_name &p = pending_names[i];
            p.directory = directory;
            const std::size_t n = std::min(name.size(), sizeof p.name - 1);
            std::memcpy(p.name, name.data(), n);
            p.name[n] = '\0';
            p.state.store(2);
            return static_cast<int>(i);
        }
    }
    return -1; // too many at once: this one is removed on failure, but not by a signal handler
}

void forget(int &slot) {
    if (slot >= 0) {
        pending_names[static_cast<std::size_t>(slot)].state.store(0);
        slot = -1;
    }
}

// A name no other file in the directory is likely to have: ".NAME.binmat-XXXXXX", within the
// length a file system allows.
std::string hidden_name(const std::string &base) {
    static std::atomic<unsigned> counter{0};
    unsigned char noise[6] = {};
    if (getrandom(noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
        const auto t = static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        const unsigned long long mixed = t ^ (static_cast<unsigned long long>(getpid()) << 20) ^
                                         (static_cast<unsigned long long>(counter++) << 40);
        std::memcpy(noise, &mixed, sizeof noise);
    }
    constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Built by appending: GCC 12 at -O3 warns falsely about "." + text.
    std::string name(1, '.');
    name += base.substr(0, 200);
    name += ".binmat-";
    for (const unsigned char c : noise) {
        name += digits[c % 62];
    }
    return name;
}

// Whether this process can reach its descriptors as files, which naming an unnamed file needs.
bool descriptors_as_files() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A new file in a directory: unnamed where the file system allows, so that nothing is left if the
// process dies; otherwise under a hidden name that a signal handler can remove.
struct new_file {
    int fd = -1;
    std::string hidden; // empty when unnamed
    int pending = -1;

    // Returns errno, 0 on success.
    int open_in(int directory, const std::string &base) {
        if (descriptors_as_files()) {
            fd = ::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
            if (fd >= 0) {
                return 0;
            }
            // Old kernels and some file systems have no unnamed files; other failures are real.
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
                return errno;
            }
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            hidden = hidden_name(base);
            forget(pending);
            pending = remember(directory, hidden);
            fd = ::openat(directory, hidden.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                return 0;
            }
            if (errno != EEXIST) {
                const int error = errno;
                forget(pending);
                hidden.clear();
                return error;
            }
        }
        forget(pending);
        hidden.clear();
        return EEXIST;
    }

    void remove(int directory) noexcept {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
        if (!hidden.empty()) {
            ::unlinkat(directory, hidden.c_str(), 0);
            hidden.clear();
        }
        forget(pending);
    }
};

// The descriptor a path names when it is one of this process's open descriptors: /dev/stdout,
// /dev/fd/N, /proc/self/fd/N and the like. Such paths are links that lead nowhere a file could be
// made beside, and reopening them would truncate what the caller holds.
int descriptor_named(const fs::path &path) {
    const fs::path p = path.lexically_normal();
    const std::string s = p.string();
    if (s == "/dev/stdin") {
        return 0;
    }
    if (s == "/dev/stdout") {
        return 1;
    }
    if (s == "/dev/stderr") {
        return 2;
    }
    const std::string parent = p.parent_path().string();
    const std::string last = p.filename().string();
    const bool of_this_process = parent == "/dev/fd" || parent == "/proc/self/fd" ||
                                 parent == "/proc/thread-self/fd" ||
                                 parent == "/proc/" + std::to_string(getpid()) + "/fd";
    if (!of_this_process || last.empty() || last.size() > 9 ||
        !std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stoi(last);
}

// Refuses an output that is one of the files being read: a regular file, the only kind that can be
// read and written over at once to the reader's loss.
void refuse_inputs(const struct stat &st, const std::vector<fs::path> &inputs,
                   const fs::path &output) {
    if (!S_ISREG(st.st_mode)) {
        return;
    }
    for (const fs::path &input : inputs) {
        struct stat in {};
        if (::stat(input.c_str(), &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino) {
            throw binmat::same_file_error(output, input);
        }
    }
}

// Where a path ends once symbolic links are followed.
struct resolved {
    fs::path target;
    int descriptor = -1;
    bool exists = false;
    struct stat st {};
};

resolved resolve(const fs::path &given) {
    resolved r;
    r.target = given;
    for (int hops = 0;; ++hops) {
        r.descriptor = descriptor_named(r.target);
        if (r.descriptor >= 0) {
            return r;
        }
        if (::lstat(r.target.c_str(), &r.st) != 0) {
            if (errno == ENOENT) {
                return r;
            }
            fail(cannot_open, given, errno);
        }
        if (!S_ISLNK(r.st.st_mode)) {
            r.exists = true;
            return r;
        }
        if (hops == 40) {
            fail(cannot_open, given, ELOOP);
        }
        std::string link(static_cast<std::size_t>(std::max<off_t>(r.st.st_size, 0)) + 1, '\0');
        const ssize_t n = ::readlink(r.target.c_str(), link.data(), link.size());
        if (n < 0) {
            fail(cannot_open, given, errno);
        }
        if (static_cast<std::size_t>(n) == link.size()) {
            continue; // it changed while read: read it again
        }
        link.resize(static_cast<std::size_t>(n));
        const fs::path next(link);
        r.target = next.is_absolute() ? next : r.target.parent_path() / next;
    }
}

// The attributes a replaced file keeps: owner and group where the process may set them, mode,
// ACLs and other extended attributes. Each that cannot be set is given up quietly: the data
// matter more.
void keep_attributes(const fs::path &from, uid_t owner, gid_t group, mode_t mode, int to) {
    // Owner first: a change of owner clears the set-id bits that the mode then restores.
    (void)::fchown(to, owner, group);
    (void)::fchmod(to, mode & 07777);
    constexpr const char *access_acl = "system.posix_acl_access";
    bool had_acl = false;
    const ssize_t listed = ::listxattr(from.c_str(), nullptr, 0);
    if (listed > 0) {
        std::vector<char> names(static_cast<std::size_t>(listed));
        const ssize_t n = ::listxattr(from.c_str(), names.data(), names.size());
        std::vector<char> value;
        for (std::size_t at = 0; n > 0 && at < static_cast<std::size_t>(n);) {
            const char *name = names.data() + at;
            at += std::strlen(name) + 1;
            const ssize_t size = ::getxattr(from.c_str(), name, nullptr, 0);
            if (size < 0) {
                continue;
            }
            value.resize(static_cast<std::size_t>(size));
            const ssize_t got = ::getxattr(from.c_str(), name, value.data(), value.size());
            if (got >= 0 &&
                ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) == 0) {
                had_acl = had_acl || std::strcmp(name, access_acl) == 0;
            }
        }
    }
    // A directory's default ACL gives a new file one that the old file did not have.
    if (!had_acl && ::fgetxattr(to, access_acl, nullptr, 0) >= 0) {
        (void)::fremovexattr(to, access_acl);
        (void)::fchmod(to, mode & 07777);
    }
}

void write_all(int fd, const char *data, std::size_t n, const fs::path &path) {
    while (n > 0) {
        const ssize_t k = ::write(fd, data, n);
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A descriptor someone made non-blocking: wait until it takes more.
            pollfd p{fd, POLLOUT, 0};
            (void)::poll(&p, 1, -1);
            continue;
        }
        if (k <= 0) {
            fail(cannot_write, path, k < 0 ? errno : ENOSPC);
        }
        data += k;
        n -= static_cast<std::size_t>(k);
    }
}

// Copies `size` bytes of a finished file into `to`: from its start when `positioned`, else at the
// descriptor's own position (a pipe, a device, a file opened for appending).
void copy_into(int from, int to, std::uint64_t size, bool positioned, const fs::path &path) {
    loff_t in_at = 0;
    loff_t out_at = 0;
    std::uint64_t done = 0;
    // The kernel copies within itself where it can.
    while (done < size) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 1 << 30));
        const ssize_t k = positioned ? ::copy_file_range(from, &in_at, to, &out_at, n, 0)
                                     : ::sendfile(to, from, &in_at, n);
        if (k <= 0) {
            if (k < 0 && errno == EINTR) {
                continue;
            }
            if (k < 0 && errno != EINVAL && errno != EXDEV && errno != ENOSYS &&
                errno != EOPNOTSUPP && errno != EAGAIN) {
                fail(cannot_write, path, errno);
            }
            break; // not supported here: copy by hand from where it stopped
        }
        done += static_cast<std::uint64_t>(k);
    }
    std::vector<char> block(std::size_t{1} << 20);
    while (done < size) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, block.size()));
        const ssize_t k = ::pread(from, block.data(), n, static_cast<off_t>(done));
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            fail(cannot_write, path, k < 0 ? errno : EIO);
        }
        if (positioned) {
            for (std::size_t put = 0; put < static_cast<std::size_t>(k);) {
                const ssize_t w =
                    ::pwrite(to, block.data() + put, static_cast<std::size_t>(k) - put,
                             static_cast<off_t>(done + put));
                if (w < 0 && errno == EINTR) {
                    continue;
                }
                if (w <= 0) {
                    fail(cannot_write, path, w < 0 ? errno : ENOSPC);
                }
                put += static_cast<std::size_t>(w);
            }
        } else {
            write_all(to, block.data(), static_cast<std::size_t>(k), path);
        }
        done += static_cast<std::uint64_t>(k);
    }
}

} // namespace

namespace binmat {

output_file::output_file(const std::filesystem::path &path, const output_options &options)
    : path_(path), sync_(options.sync) {
    try {
        const resolved r = resolve(path);
        if (r.descriptor >= 0) {
            take_descriptor(r.descriptor, options);
            return;
        }
        const struct stat &st = r.st;
        if (r.exists) {
            if (S_ISDIR(st.st_mode)) {
                fail(cannot_open, path, EISDIR);
            }
            device_ = st.st_dev;
            inode_ = st.st_ino;
            refuse_inputs(st, options.inputs, path);
        }
        const fs::path &target = r.target;
        if (r.exists && !S_ISREG(st.st_mode)) {
            // A FIFO or a device cannot be replaced: it is written where it is.
            kind_ = output_kind::in_place;
            fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd_ < 0) {
                fail(cannot_open, path, errno);
            }
            return;
        }
        parent_ = target.has_parent_path() ? target.parent_path() : fs::path(".");
        name_ = target.filename().string();
        if (name_.empty() || name_ == "." || name_ == "..") {
            fail(cannot_open, path, EISDIR);
        }
        directory_ = ::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory_ < 0) {
            fail(cannot_open, path, errno);
        }
        if (r.exists && st.st_nlink > 1) {
            // Replacing it would split it from its other names: its data go in place, once they
            // are complete.
            kind_ = output_kind::in_place;
            fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd_ < 0) {
                fail(cannot_open, path, errno);
            }
            stage();
            return;
        }
        if (!r.exists) {
            struct stat dir {};
            if (::fstat(directory_, &dir) == 0) {
                device_ = dir.st_dev;
                inode_ = dir.st_ino;
                absent_ = true;
            }
        } else if (::faccessat(directory_, name_.c_str(), W_OK, AT_EACCESS) != 0) {
            fail(cannot_open, path, errno); // rename could replace it, but its owner said no
        }
        new_file temporary;
        const int error = temporary.open_in(directory_, name_);
        if (error != 0) {
            fail(cannot_open, path, error);
        }
        fd_ = temporary.fd;
        unnamed_ = temporary.hidden.empty();
        temporary_ = temporary.hidden;
        pending_ = temporary.pending;
        if (r.exists) {
            kept_from_ = target;
            kept_mode_ = st.st_mode;
            kept_owner_ = st.st_uid;
            kept_group_ = st.st_gid;
            keep_attributes(kept_from_, kept_owner_, kept_group_, kept_mode_, fd_);
        }
    } catch (...) {
        discard();
        throw;
    }
}

output_file::output_file(int descriptor, const std::string &name, const output_options &options)
    : path_(name), sync_(options.sync) {
    take_descriptor(descriptor, options);
}

// An output through a descriptor the caller holds: written where it stands, never closed.
void output_file::take_descriptor(int descriptor, const output_options &options) {
    kind_ = output_kind::descriptor;
    fd_ = descriptor;
    own_fd_ = false;
    struct stat st {};
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || ::fstat(fd_, &st) != 0) {
        fail(cannot_open, path_, EBADF);
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    refuse_inputs(st, options.inputs, path_);
}

output_file::~output_file() {
    if (!committed_) {
        discard();
    }
}

void output_file::discard() noexcept {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!library_name_.empty()) {
        ::unlinkat(library_directory_, library_name_.c_str(), 0);
        library_name_.clear();
    }
    forget(library_pending_);
    if (staging_ >= 0) {
        ::close(staging_);
        staging_ = -1;
    }
    if (staging_directory_ >= 0) {
        ::close(staging_directory_);
        staging_directory_ = -1;
    }
    if (fd_ >= 0 && own_fd_) {
        ::close(fd_);
    }
    fd_ = -1;
    if (!temporary_.empty()) {
        ::unlinkat(directory_, temporary_.c_str(), 0);
        temporary_.clear();
    }
    forget(pending_);
    if (directory_ >= 0) {
        ::close(directory_);
        directory_ = -1;
    }
}

std::FILE *output_file::stream() {
    if (stream_ == nullptr) {
        const int fd = ::fcntl(descriptor(), F_DUPFD_CLOEXEC, 0);
        stream_ = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
        if (stream_ == nullptr) {
            const int error = errno;
            if (fd >= 0) {
                ::close(fd);
            }
            fail(cannot_write, path_, error);
        }
    }
    return stream_;
}

// The data go to a scratch file first, to be put into the output when complete: beside a file
// written in place, on its file system, or else in the temporary directory. A named one loses its
// name at once: its descriptor is all that is needed of it.
void output_file::stage() {
    if (staging_ >= 0) {
        return;
    }
    new_file scratch;
    int error = directory_ >= 0 ? scratch.open_in(directory_, name_) : EACCES;
    int in = directory_;
    if (error != 0) {
        staging_parent_ = fs::temp_directory_path();
        staging_directory_ = ::open(staging_parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        error = staging_directory_ < 0 ? errno : scratch.open_in(staging_directory_, "binmat");
        in = staging_directory_;
    }
    if (error != 0) {
        fail(cannot_write, path_, error);
    }
    if (!scratch.hidden.empty()) {
        ::unlinkat(in, scratch.hidden.c_str(), 0);
        forget(scratch.pending);
    }
    staging_ = scratch.fd;
}

std::filesystem::path output_file::name_for_library() {
    if (!library_name_.empty()) {
        return library_parent_ / library_name_;
    }
    std::string base = "binmat";
    if (kind_ == output_kind::replaced) {
        library_directory_ = directory_;
        library_parent_ = parent_;
        base = name_;
    } else if (directory_ >= 0) { // beside a hard-linked file, on its file system
        library_directory_ = directory_;
        library_parent_ = parent_;
    } else {
        if (staging_directory_ < 0) {
            staging_parent_ = fs::temp_directory_path();
            staging_directory_ =
                ::open(staging_parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (staging_directory_ < 0) {
                fail(cannot_write, path_, errno);
            }
        }
        library_directory_ = staging_directory_;
        library_parent_ = staging_parent_;
    }
    library_name_ = hidden_name(base);
    library_pending_ = remember(library_directory_, library_name_);
    return library_parent_ / library_name_;
}

void output_file::library_opened() {
    const int fd = ::openat(library_directory_, library_name_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fail(cannot_write, path_, errno);
    }
    if (kind_ == output_kind::replaced) {
        // The library's file is the output's from here on; the one made for it goes.
        if (!temporary_.empty()) {
            ::unlinkat(directory_, temporary_.c_str(), 0);
        }
        forget(pending_);
        ::close(fd_);
        fd_ = fd;
        temporary_ = library_name_;
        pending_ = library_pending_;
        unnamed_ = false;
        if (!kept_from_.empty()) {
            keep_attributes(kept_from_, kept_owner_, kept_group_, kept_mode_, fd_);
        }
    } else {
        // Only its data are wanted, to be copied into the output when complete.
        ::unlinkat(library_directory_, library_name_.c_str(), 0);
        forget(library_pending_);
        if (staging_ >= 0) {
            ::close(staging_);
        }
        staging_ = fd;
    }
    library_name_.clear();
    library_pending_ = -1;
}

bool output_file::same_file(const output_file &other) const noexcept {
    return (device_ != 0 || inode_ != 0) && device_ == other.device_ && inode_ == other.inode_ &&
           absent_ == other.absent_ && (!absent_ || name_ == other.name_);
}

// Everything that makes the data complete and durable, before any of it takes a name.
void output_file::complete() {
    if (stream_ != nullptr) {
        errno = 0;
        const bool flushed = std::fflush(stream_) == 0 && std::ferror(stream_) == 0;
        const int error = errno;
        const bool closed = std::fclose(stream_) == 0;
        const int close_error = errno;
        stream_ = nullptr;
        if (!flushed || !closed) {
            fail(cannot_write, path_, flushed ? close_error : error);
        }
    }
    if (kind_ == output_kind::replaced && sync_ && ::fdatasync(fd_) != 0) {
        fail(cannot_write, path_, errno);
    }
}

void output_file::publish() {
    if (staging_ >= 0) {
        struct stat staged {};
        struct stat target {};
        if (::fstat(staging_, &staged) != 0 || ::fstat(fd_, &target) != 0) {
            fail(cannot_write, path_, errno);
        }
        const auto size = static_cast<std::uint64_t>(staged.st_size);
        const bool in_place_file = kind_ == output_kind::in_place && S_ISREG(target.st_mode);
        if (in_place_file && size > 0 && ::fallocate(fd_, 0, 0, static_cast<off_t>(size)) != 0 &&
            errno != EOPNOTSUPP && errno != ENOSYS) {
            // No room for the data: refused before the file's first byte changes.
            fail(cannot_write, path_, errno);
        }
        copy_into(staging_, fd_, size, in_place_file, path_);
        if (in_place_file &&
            (::ftruncate(fd_, static_cast<off_t>(size)) != 0 || (sync_ && ::fdatasync(fd_) != 0))) {
            fail(cannot_write, path_, errno);
        }
        ::close(staging_);
        staging_ = -1;
    }
    if (kind_ == output_kind::replaced) {
        if (unnamed_) {
            int error = EEXIST;
            for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
                temporary_ = hidden_name(name_);
                forget(pending_);
                pending_ = remember(directory_, temporary_);
                error = ::linkat(AT_FDCWD, descriptor_path(fd_).c_str(), directory_,
                                 temporary_.c_str(), AT_SYMLINK_FOLLOW) == 0
                            ? 0
                            : errno;
            }
            if (error != 0) {
                temporary_.clear();
                forget(pending_);
                fail(cannot_place, path_, error);
            }
        }
        if (::renameat(directory_, temporary_.c_str(), directory_, name_.c_str()) != 0) {
            fail(cannot_place, path_, errno); // discarding removes the hidden name
        }
        temporary_.clear();
        forget(pending_);
        // The file is in place; a directory that cannot be synced is still reported, since the
        // rename may not survive a crash.
        const int error = sync_ && ::fsync(directory_) != 0 ? errno : 0;
        committed_ = true;
        discard();
        if (error != 0) {
            fail(cannot_place, path_, error);
        }
    }
    committed_ = true;
    discard();
}

void output_file::commit() {
    complete();
    publish();
}

void commit_all(std::span<output_file *const> outputs) {
    for (output_file *out : outputs) {
        out->complete();
    }
    for (output_file *out : outputs) {
        out->publish();
    }
}

void remove_pending_outputs() noexcept {
    for (pending_name &p : pending_names) {
        if (p.state.load() == 2) {
            ::unlinkat(p.directory, p.name, 0);
        }
    }
}

} // namespace binmat
