// A stand-in for a few system calls, preloaded into the programs under test (LD_PRELOAD):
// - with BINMAT_SHIM_LOG=FILE, each fdatasync, fsync, linkat and rename is recorded in FILE, a
//   line each, so that a test can check the order in which a file is synced and named;
// - with BINMAT_SHIM_NO_TMPFILE=1, unnamed files cannot be made, as on file systems without
//   O_TMPFILE, so that the named temporaries' path is tried too;
// - with BINMAT_SHIM_SHRINK_MAPPED=1, a regular file mapped read-only is cut to half its length
//   as soon as it is mapped, as another program might cut it while it is read.
// The definitions keep the C library's signatures; their parameter names are this file's.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

void note(const char *call) {
    const char *log = std::getenv("BINMAT_SHIM_LOG");
    if (log == nullptr) {
        return;
    }
    const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const std::string line = std::string(call) + "\n";
        [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
        ::close(fd);
    }
}

template <typename F> F real(const char *name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

using open_function = int (*)(int, const char *, int, ...);

// The mode argument is there only when the file may be created.
bool takes_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

// openat and openat64: refused for unnamed files when asked, passed on otherwise.
int opening(const char *name, int dir, const char *path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE && std::getenv("BINMAT_SHIM_NO_TMPFILE") != nullptr) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real<open_function>(name)(dir, path, flags, mode);
}

// The file a descriptor leads to, cut to half the length it is mapped at.
void shrink(int fd, std::size_t length) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[4096];
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n > 0) {
        path[n] = '\0';
        [[maybe_unused]] const int cut = ::truncate(path, static_cast<off_t>(length / 2));
    }
}

} // namespace

extern "C" {

void *mmap(void *address, std::size_t length, int protection, int flags, int fd, off_t offset) {
    using mmap_function = void *(*)(void *, std::size_t, int, int, int, off_t);
    void *p = real<mmap_function>("mmap")(address, length, protection, flags, fd, offset);
    if (p != MAP_FAILED && fd >= 0 && protection == PROT_READ &&
        std::getenv("BINMAT_SHIM_SHRINK_MAPPED") != nullptr) {
        shrink(fd, length);
    }
    return p;
}

int fdatasync(int fd) {
    note("fdatasync");
    return real<int (*)(int)>("fdatasync")(fd);
}

int fsync(int fd) {
    note("fsync");
    return real<int (*)(int)>("fsync")(fd);
}

int rename(const char *from, const char *to) {
    note("rename");
    return real<int (*)(const char *, const char *)>("rename")(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    note("rename");
    return real<int (*)(int, const char *, int, const char *)>("renameat")(from_dir, from, to_dir,
                                                                           to);
}

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags) {
    note("linkat");
    return real<int (*)(int, const char *, int, const char *, int)>("linkat")(from_dir, from,
                                                                              to_dir, to, flags);
}

int openat(int dir, const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    // clang-tidy 14's analyzer takes the list for uninitialised when other files precede this
    // one in its run.
    const mode_t mode = takes_mode(flags) ? va_arg(rest, mode_t) : 0; // NOLINT(clang-analyzer-*)
    va_end(rest);
    return opening("openat", dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    // clang-tidy 14's analyzer takes the list for uninitialised when other files precede this
    // one in its run.
    const mode_t mode = takes_mode(flags) ? va_arg(rest, mode_t) : 0; // NOLINT(clang-analyzer-*)
    va_end(rest);
    return opening("openat64", dir, path, flags, mode);
}
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
