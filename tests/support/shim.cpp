// A stand-in for a few system calls, preloaded into the programs under test (LD_PRELOAD):
// - with BINMAT_SHIM_LOG=FILE, each fdatasync, fsync, linkat and rename is recorded in FILE, a
//   line each, so that a test can check the order in which a file is synced and named;
// - with BINMAT_SHIM_NO_TMPFILE=1, unnamed files cannot be made, as on file systems without
//   O_TMPFILE, so that the named temporaries' path is tried too.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

void note(const char *call) {
    const char *log = std::getenv("BINMAT_SHIM_LOG");
    if (log == nullptr) {
        return;
    }
    const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!::write(fd, call, std::strlen(call));
        (void)!::write(fd, "\n", 1);
        ::close(fd);
    }
}

bool no_unnamed_files(int flags) {
    return (flags & O_TMPFILE) == O_TMPFILE && std::getenv("BINMAT_SHIM_NO_TMPFILE") != nullptr;
}

template <typename F> F real(const char *name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

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
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (no_unnamed_files(flags)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real<int (*)(int, const char *, int, ...)>("openat")(dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (no_unnamed_files(flags)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real<int (*)(int, const char *, int, ...)>("openat64")(dir, path, flags, mode);
}
}
