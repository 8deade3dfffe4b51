#include "scattered_reads.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <linux/aio_abi.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace binmat::detail {

namespace {

// Reads handed to the kernel in one call. On a cached page each is done during the call itself:
// the batch enters the kernel once rather than once a read, which is most of what a read of a
// few bytes costs.
constexpr std::size_t batch = 256;

// Giving a context back makes the kernel wait out a grace period (tens of milliseconds), more than
// the reads it saves, so the few made are kept for the life of the process and lent to one reader
// at a time; a reader that finds none free reads one piece to a call.
constexpr std::size_t kept = 8;
std::array<std::atomic<aio_context_t>, kept> idle{};
std::atomic<std::size_t> made{0};
std::atomic<bool> unavailable{false};

// A child process inherits the numbers of its parent's contexts but not the contexts.
void forget_contexts() {
    for (auto &slot : idle) {
        slot.store(0);
    }
    made.store(0);
}

aio_context_t borrow() {
    static const bool fork_safe = pthread_atfork(nullptr, nullptr, forget_contexts) == 0;
    if (!fork_safe || unavailable.load()) {
        return 0;
    }
    for (auto &slot : idle) {
        if (const aio_context_t ctx = slot.exchange(0); ctx != 0) {
            return ctx;
        }
    }
    for (std::size_t n = made.load(); n < kept;) {
        if (made.compare_exchange_weak(n, n + 1)) {
            aio_context_t ctx = 0;
            if (::syscall(SYS_io_setup, batch, &ctx) == 0) {
                return ctx;
            }
            // Not built into this kernel, or refused by a sandbox: so it stays. Out of the
            // system's share of contexts: perhaps only for now.
            if (errno == ENOSYS || errno == EPERM) {
                unavailable.store(true);
            }
            made.fetch_sub(1);
            return 0;
        }
    }
    return 0;
}

void give_back(aio_context_t ctx) {
    for (auto &slot : idle) {
        aio_context_t empty = 0;
        if (slot.compare_exchange_strong(empty, ctx)) {
            return;
        }
    }
}

class lent_context {
  public:
    lent_context() : ctx_(borrow()) {}
    lent_context(const lent_context &) = delete;
    lent_context &operator=(const lent_context &) = delete;
    ~lent_context() {
        if (ctx_ != 0 && !broken_) {
            give_back(ctx_);
        }
    }
    [[nodiscard]] aio_context_t get() const { return ctx_; }
    void broke() { broken_ = true; }

  private:
    aio_context_t ctx_;
    bool broken_ = false;
};

// Reads pieces base to base + n - 1 through ctx, adding to `unread` the positions of those not
// read whole. Returns how many were handled: fewer than n when the kernel took no more.
std::size_t read_batch(lent_context &ctx, int fd, const piece_at &piece, std::size_t base,
                       std::size_t n, bool cached_only, std::vector<std::size_t> &unread) {
    std::array<iocb, batch> blocks{};
    std::array<iocb *, batch> queue{};
    std::array<io_event, batch> events{};
    for (std::size_t i = 0; i < n; ++i) {
        const scattered_piece p = piece(base + i);
        iocb &b = blocks[i];
        b.aio_data = i;
        b.aio_lio_opcode = IOCB_CMD_PREAD;
        b.aio_fildes = static_cast<std::uint32_t>(fd);
        b.aio_buf = reinterpret_cast<std::uintptr_t>(p.to);
        b.aio_nbytes = p.size;
        b.aio_offset = static_cast<std::int64_t>(p.at);
        b.aio_rw_flags = cached_only ? RWF_NOWAIT : 0;
        queue[i] = &b;
    }
    const long submitted = ::syscall(SYS_io_submit, ctx.get(), static_cast<long>(n), queue.data());
    if (submitted <= 0) {
        // A context this process cannot use is not lent again; the pieces are read one by one,
        // where a file that cannot say what is cached, or a bad descriptor, is found out.
        if (submitted < 0 && (errno == EINVAL || errno == EFAULT || errno == ENOSYS)) {
            ctx.broke();
        }
        return 0;
    }
    const auto count = static_cast<std::size_t>(submitted);
    // Every submitted read is reaped before its buffer can go: a file system may finish
    // a read after the submission returns.
    for (std::size_t reaped = 0; reaped < count;) {
        const long k = ::syscall(SYS_io_getevents, ctx.get(), 1L, static_cast<long>(count - reaped),
                                 events.data(), nullptr);
        if (k < 0) {
            if (errno == EINTR) {
                continue;
            }
            ctx.broke();
            for (std::size_t i = 0; i < count; ++i) {
                unread.push_back(base + i);
            }
            return count;
        }
        for (long e = 0; e < k; ++e) {
            const io_event &ev = events[static_cast<std::size_t>(e)];
            if (ev.res < 0 || static_cast<std::uint64_t>(ev.res) != blocks[ev.data].aio_nbytes) {
                unread.push_back(base + static_cast<std::size_t>(ev.data));
            }
        }
        reaped += static_cast<std::size_t>(k);
    }
    return count;
}

void read_one_by_one(int fd, const piece_at &piece, std::size_t first, std::size_t count,
                     bool cached_only, std::vector<std::size_t> &unread) {
    bool probing = cached_only;
    for (std::size_t i = first; i < count; ++i) {
        if (cached_only && !probing) {
            unread.push_back(i);
            continue;
        }
        const scattered_piece p = piece(i);
        iovec piece{p.to, p.size};
        const ssize_t k =
            ::preadv2(fd, &piece, 1, static_cast<off_t>(p.at), cached_only ? RWF_NOWAIT : 0);
        if (k < 0 || static_cast<std::size_t>(k) != p.size) {
            // A kernel or file system that cannot say what is cached leaves every piece to the
            // caller.
            probing = k >= 0 || errno == EAGAIN || errno == EINTR;
            unread.push_back(i);
        }
    }
}

} // namespace

std::vector<std::size_t> read_scattered(int fd, std::size_t count, const piece_at &piece,
                                        bool cached_only) {
    std::vector<std::size_t> unread;
    std::size_t done = 0;
    // Asynchronous reads of a pipe or a terminal would take its bytes whatever the offsets.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        lent_context ctx;
        while (ctx.get() != 0 && done < count) {
            const std::size_t handled = read_batch(
                ctx, fd, piece, done, std::min(batch, count - done), cached_only, unread);
            if (handled == 0) {
                break;
            }
            done += handled;
        }
    }
    read_one_by_one(fd, piece, done, count, cached_only, unread);
    // In file order, so that the caller meets a shortened file where it first ends.
    std::sort(unread.begin(), unread.end());
    unread.erase(std::unique(unread.begin(), unread.end()), unread.end());
    return unread;
}

} // namespace binmat::detail
