#include "output.h"

#include "command.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

namespace fs = std::filesystem;

// The temporary file a signal must remove, as a plain string the handler may read: one output is
// open at a time.
char pending_temporary[4096];
std::atomic<bool> pending{false};

extern "C" void on_termination(int signal) {
    if (pending.load()) {
        ::unlink(pending_temporary);
    }
    ::_exit(128 + signal);
}

void remember(const std::string &temporary) {
    if (temporary.size() < sizeof pending_temporary) {
        std::memcpy(pending_temporary, temporary.c_str(), temporary.size() + 1);
        pending.store(true);
    }
}

void forget() { pending.store(false); }

[[noreturn]] void fail(const std::string &path, int error) {
    throw failure(status_bad_data, path + ": " + std::strerror(error));
}

// The file a path ends at once symbolic links are followed; the path itself when it ends nowhere.
std::string final_target(const std::string &path) {
    fs::path p = path;
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(p, ec); ++hops) {
        const fs::path next = fs::read_symlink(p, ec);
        if (ec) {
            break;
        }
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p.string();
}

bool same_file(const struct stat &a, const std::string &other) {
    struct stat b {};
    return other != "-" && ::stat(other.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

} // namespace

void remove_temporary_files_on_signals() {
    struct sigaction action {};
    action.sa_handler = on_termination;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the caller chose to ignore (a background job's SIGINT) stays ignored.
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            ::sigaction(signal, &action, nullptr);
        }
    }
    // A file that outgrows its size limit is a failed write to report, not a reason to die.
    std::signal(SIGXFSZ, SIG_IGN);
}

output_file::output_file(const std::string &path, const std::vector<std::string> &inputs)
    : path_(path) {
    if (path == "-") {
        file_ = stdout;
        return;
    }
    target_ = final_target(path);
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists) {
        for (const std::string &input : inputs) {
            if (same_file(st, input)) {
                throw failure(status_usage,
                              path + ": is also an input; writing it would destroy what is read");
            }
        }
        if (S_ISDIR(st.st_mode)) {
            fail(path, EISDIR);
        }
    }
    // Devices and FIFOs cannot be replaced, and replacing a file with other links would split it
    // from them: those are written where they are.
    if (exists && (!S_ISREG(st.st_mode) || st.st_nlink > 1)) {
        file_ = std::fopen(target_.c_str(), "wb");
        if (file_ == nullptr) {
            fail(path, errno);
        }
        return;
    }
    const fs::path target(target_);
    const std::string dir = target.has_parent_path() ? target.parent_path().string() + "/" : "";
    temporary_ = dir + "." + target.filename().string() + ".binmat-XXXXXX";
    // Blocked while the name is taken, so that a signal cannot leave it behind unrecorded.
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&block, signal);
    }
    ::sigprocmask(SIG_BLOCK, &block, &previous);
    const int fd = ::mkstemp(temporary_.data());
    const int error = errno;
    if (fd >= 0) {
        remember(temporary_);
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) {
        temporary_.clear();
        fail(path, error);
    }
    if (exists) {
        // The owner first: a change of owner may clear set-id bits that the mode then restores.
        // Either may be refused to an unprivileged process; the content matters more.
        (void)::fchown(fd, st.st_uid, st.st_gid);
        (void)::fchmod(fd, st.st_mode & 07777);
    } else {
        // mkstemp makes the file private; a new file gets the usual permissions.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        (void)::fchmod(fd, 0666 & ~mask);
    }
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        const int e = errno;
        ::close(fd);
        fail(path, e);
    }
}

output_file::~output_file() {
    if (file_ != nullptr && file_ != stdout) {
        std::fclose(file_);
    }
    if (!committed_ && !temporary_.empty()) {
        ::unlink(temporary_.c_str());
        forget();
    }
}

void output_file::commit() {
    if (file_ == stdout) {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            standard_output_failed(errno != 0 ? errno : EIO);
        }
        committed_ = true;
        return;
    }
    errno = 0;
    const bool written = std::ferror(file_) == 0 && std::fflush(file_) == 0;
    const int write_error = errno != 0 ? errno : EIO;
    errno = 0;
    const bool closed = std::fclose(file_) == 0;
    const int close_error = errno != 0 ? errno : EIO;
    file_ = nullptr;
    if (!written || !closed) {
        fail(path_, written ? close_error : write_error);
    }
    if (!temporary_.empty() && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        fail(path_, errno);
    }
    committed_ = true;
    forget();
}

} // namespace cli
