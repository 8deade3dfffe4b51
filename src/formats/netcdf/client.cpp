// The library's side of NetCDF: the writer module loaded when first needed, and the helper that
// decodes files in a process of its own, asked and checked.
#include <binmat/formats/netcdf.h>

#include "classic.h"
#include "protocol.h"
#include "writer_module.h"
#include <binmat/formats/parts.h>

#include <binmat/formats/error.h>
#include <binmat/formats/quote.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace binmat {

namespace {

namespace protocol = binmat::netcdf_protocol;

// A grid in memory, handed over a block of rows at a time without a copy.
struct view_rows {
    const binmat::grid_view &g;

    static void block(void *self, std::size_t first, std::size_t, const float **coordinates,
                      const float **values) {
        const binmat::grid_view &g = static_cast<view_rows *>(self)->g;
        *coordinates = g.row_coordinates.data() + first;
        *values = g.values.data() + first * g.columns();
    }
};

// A mapped file, copied out a block of rows at a time.
struct file_rows {
    const binmat::mapped_grid &g;
    std::vector<float> coordinates;
    std::vector<float> values;

    static void block(void *self, std::size_t first, std::size_t count, const float **c,
                      const float **v) {
        auto *r = static_cast<file_rows *>(self);
        r->coordinates.resize(count);
        r->values.resize(count * r->g.header().columns());
        r->g.copy_rows(first, count, r->coordinates.data(), r->values.data());
        *c = r->coordinates.data();
        *v = r->values.data();
    }
};

// A build without netCDF-C has neither the helper nor the writer module to turn to.
void require_netcdf() {
#ifdef BINMAT_NO_NETCDF
    throw conversion_error("this binmat was built without NetCDF");
#endif
}

using write_function = int(const char *, const binmat_netcdf_rows *, const binmat_netcdf_text *,
                           char *, std::size_t);

// The writer module, loaded once and kept: HDF5 must not be unloaded under its own atexit state.
write_function *netcdf_writer() {
    static write_function *const write = [] {
        const std::string path = part_path("binmat-netcdf-writer.so");
        void *module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            throw conversion_error(std::string("cannot load the NetCDF writer: ") + ::dlerror());
        }
        void *entry = ::dlsym(module, "binmat_write_netcdf");
        if (entry == nullptr) {
            throw conversion_error("the NetCDF writer " + path + " is not binmat's");
        }
        return reinterpret_cast<write_function *>(entry);
    }();
    return write;
}

// Why a NetCDF file of at least `bytes` bytes cannot be written to the file `fd` leads to, by
// asking for the room it needs: netCDF-C reports a failed write as an "HDF error" whatever its
// cause. 0 when the room is there.
int room_lacking(int fd, std::uint64_t bytes) {
    const int status = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    return status == EOPNOTSUPP || status == EINVAL ? 0 : status;
}

// Whether coordinates, seen in order, make a CF coordinate variable: strictly increasing or
// strictly decreasing, without NaN.
class cf_axis {
  public:
    void see(std::span<const float> values) {
        for (const float v : values) {
            if (std::isnan(v)) {
                fine_ = false;
            } else if (seen_) {
                const int direction = v > last_ ? 1 : v < last_ ? -1 : 0;
                fine_ = fine_ && direction != 0 && (direction_ == 0 || direction == direction_);
                direction_ = direction;
            }
            last_ = v;
            seen_ = true;
        }
    }
    [[nodiscard]] bool fine() const { return fine_; }

  private:
    bool fine_ = true;
    bool seen_ = false;
    int direction_ = 0;
    float last_ = 0;
};

std::vector<std::string> write_rows(binmat::output_file &out, std::size_t rows,
                                    std::span<const float> columns, void *context,
                                    void (*block)(void *, std::size_t, std::size_t, const float **,
                                                  const float **),
                                    const netcdf_attributes &a) {
    require_netcdf();
    // The values and coordinates at least; beyond a file-size limit, refused before HDF5 is
    // involved.
    const std::uint64_t data_bytes =
        4 * (std::uint64_t{rows} * columns.size() + rows + columns.size());
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < data_bytes) {
        throw output_error("cannot write", out.path(),
                           std::error_code(EFBIG, std::generic_category()));
    }
    write_function *write = netcdf_writer();
    // netCDF-C opens files by name only; what the name is for ends once it has the file open.
    struct writing {
        binmat::output_file &out;
        void *source;
        void (*block)(void *, std::size_t, std::size_t, const float **, const float **);
        cf_axis x;
    } w{out, context, block, {}};
    binmat_netcdf_rows grid{};
    grid.context = &w;
    grid.rows = rows;
    grid.columns = columns.size();
    grid.column_coordinates = columns.data();
    grid.block = [](void *self, std::size_t first, std::size_t count, const float **c,
                    const float **v) {
        auto *w = static_cast<writing *>(self);
        w->block(w->source, first, count, c, v);
        w->x.see({*c, count}); // each block once, in order
    };
    grid.opened = [](void *self) { static_cast<writing *>(self)->out.library_opened(); };
    const binmat_netcdf_text text{a.units.c_str(),         a.x_units.c_str(),   a.y_units.c_str(),
                                  a.standard_name.c_str(), a.long_name.c_str(), a.history.c_str(),
                                  a.name.c_str(),          a.crs_wkt.c_str(),   a.deflate};
    const std::string name = out.name_for_library().string();
    char error[512] = {};
    if (write(name.c_str(), &grid, &text, error, sizeof error) != 0) {
        // With room for the headers HDF5 writes around the data.
        const int lacking = room_lacking(out.descriptor(), data_bytes + (std::uint64_t{1} << 16));
        if (lacking != 0) {
            throw output_error("cannot write", out.path(),
                               std::error_code(lacking, std::generic_category()));
        }
        throw conversion_error(error);
    }
    cf_axis y;
    y.see(columns);
    std::vector<std::string> warnings;
    for (const auto &[fine, which] :
         {std::pair{w.x.fine(), "row titles (x)"}, std::pair{y.fine(), "column titles (y)"}}) {
        if (!fine) {
            warnings.push_back(std::string("the ") + which +
                               " repeat, hold NaN or are out of order: kept as they are, but CF "
                               "readers may refuse or misplace them");
        }
    }
    return warnings;
}

} // namespace

std::vector<std::string> write_netcdf(output_file &out, const grid_view &g,
                                      const netcdf_attributes &a) {
    view_rows rows{g};
    return write_rows(out, g.rows(), g.column_coordinates, &rows, view_rows::block, a);
}

std::vector<std::string> write_netcdf(output_file &out, const mapped_grid &g,
                                      const netcdf_attributes &a) {
    file_rows rows{g, {}, {}};
    return write_rows(out, static_cast<std::size_t>(g.header().rows), g.header().column_coordinates,
                      &rows, file_rows::block, a);
}

namespace {

// A descriptor closed once.
struct descriptor {
    int fd = -1;
    descriptor() = default;
    explicit descriptor(int f) : fd(f) {}
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = f;
    }
};

// A mapping undone once.
struct mapping {
    void *at = MAP_FAILED;
    std::size_t bytes = 0;
    mapping() = default;
    mapping(const mapping &) = delete;
    mapping &operator=(const mapping &) = delete;
    ~mapping() { reset(); }

    // The first `n` bytes of the file `fd`, read-only, in place of any mapping held; false when
    // they cannot be mapped. A shared mapping sees what another process writes there.
    bool map(int fd, std::size_t n, int flags) {
        reset();
        bytes = n;
        at = ::mmap(nullptr, n, PROT_READ, flags, fd, 0);
        return at != MAP_FAILED;
    }
    void reset() {
        if (at != MAP_FAILED) {
            ::munmap(at, bytes);
            at = MAP_FAILED;
        }
    }
};

// Memory the machine can give, from what the kernel says is available and the free swap.
std::uint64_t memory_available() {
    std::ifstream info("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    std::uint64_t total = 0;
    bool found = false;
    while (info >> key >> kib) {
        std::getline(info, unit);
        if (key == "MemAvailable:" || key == "SwapFree:") {
            total += kib * 1024;
            found = true;
        }
    }
    return found ? total : std::numeric_limits<std::uint64_t>::max();
}

// The helper's server: started once per process (again in a child of a fork, and again when it
// has died), and asked one file at a time.
class server {
  public:
    ~server() { stop(); }

    // The connection to a server that is up, started if need be; throws conversion_error.
    int connection() {
        if (pid_ > 0 && owner_ == ::getpid()) {
            return control_.fd;
        }
        if (owner_ != ::getpid()) {
            control_.reset(); // a fork's copy of its parent's connection is not ours
            pid_ = -1;
        }
        int ends[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
            throw conversion_error(std::string("cannot start the NetCDF helper: ") +
                                   std::strerror(errno));
        }
        control_.reset(ends[0]);
        const descriptor theirs(ends[1]);
        const std::string program = part_path("binmat-read-netcdf");
        std::string serve = "--serve";
        char *argv[] = {const_cast<char *>(program.c_str()), serve.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_adddup2(&actions, theirs.fd, 3);
        // What netCDF-C and HDF5 might print about a hostile file goes nowhere.
        for (const int fd : {0, 1, 2}) {
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                             fd == 0 ? O_RDONLY : O_WRONLY, 0);
        }
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        const int status =
            ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (status != 0) {
            pid_ = -1;
            control_.reset();
            throw conversion_error("cannot start the NetCDF helper " + program + ": " +
                                   std::strerror(status));
        }
        owner_ = ::getpid();
        return control_.fd;
    }

    // A server that stopped answering is done with: it is reaped, and the next file starts
    // another.
    void stop() {
        if (pid_ > 0 && owner_ == ::getpid()) {
            control_.reset();
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    pid_t owner_ = -1;
    descriptor control_;
};

// One file at a time: the server answers in order.
std::mutex server_lock;
server the_server;

// The NetCDF helper at work on one file: asked, answered, and ended whatever happens.
class helper {
  public:
    helper(int input, const std::string &file, const netcdf_choice &choice, bool list = false)
        : lock_(server_lock) {
        int reply[2] = {-1, -1};
        int go[2] = {-1, -1};
        if (::pipe2(reply, O_CLOEXEC) != 0 ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, go) != 0) {
            fail_system("cannot start the NetCDF helper");
        }
        reply_.reset(reply[0]);
        const descriptor reply_end(reply[1]);
        go_.reset(go[0]);
        const descriptor go_end(go[1]);
        memory_.reset(::memfd_create("binmat-netcdf", MFD_CLOEXEC));
        if (memory_.fd < 0) {
            fail_system("cannot start the NetCDF helper");
        }
        protocol::request r;
        r.stream = file.empty();
        r.path = file;
        r.variable = choice.variable;
        r.index = choice.index;
        r.list = list;
        const std::vector<unsigned char> bytes = protocol::encode(r);
        const int fds[4] = {input, go_end.fd, reply_end.fd, memory_.fd};
        // A server that died since the last file is started again, once.
        for (int attempt = 0;; ++attempt) {
            const int control = the_server.connection();
            if (ask(control, bytes, fds)) {
                break;
            }
            the_server.stop();
            if (attempt == 1) {
                throw conversion_error("the NetCDF helper does not answer");
            }
        }
        control_ = the_server.connection();
        const protocol::news started = news(protocol::news::started);
        if (started.value <= 0) {
            throw conversion_error(std::string("the NetCDF helper cannot start a worker: ") +
                                   std::strerror(static_cast<int>(-started.value)));
        }
        worker_ = static_cast<pid_t>(started.value);
    }

    ~helper() {
        if (worker_ > 0) {
            ::kill(worker_, SIGKILL);
            try {
                (void)news(protocol::news::ended);
            } catch (...) { // NOLINT(bugprone-empty-catch): the server is stopped already
            }
        }
    }
    helper(const helper &) = delete;
    helper &operator=(const helper &) = delete;

    int memory() const { return memory_.fd; }

    // The next frame; a refusal becomes a conversion_error, and a worker that ends without
    // one is reported by how it ended.
    protocol::frame next() {
        std::vector<unsigned char> bytes(protocol::header_bytes);
        if (!read_all(bytes.data(), bytes.size())) {
            ended();
        }
        std::uint32_t length = 0;
        if (!protocol::payload_length(bytes, length)) {
            garbled("a malformed frame");
        }
        bytes.resize(protocol::header_bytes + length);
        if (!read_all(bytes.data() + protocol::header_bytes, length)) {
            ended();
        }
        protocol::frame f;
        std::string error;
        if (!protocol::decode(bytes, f, error)) {
            garbled(error);
        }
        if (f.what == protocol::kind::refusal) {
            throw conversion_error(printable(f.reason, 400));
        }
        return f;
    }

    void go() {
        const char g = 'g';
        ssize_t n = 0;
        do {
            n = ::send(go_.fd, &g, 1, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n != 1) {
            ended();
        }
    }

    // Waits for the worker, which must end well once it has said all.
    void finish() {
        if (exit_status() != 0) {
            ended();
        }
    }

    [[noreturn]] void garbled(const std::string &what) {
        throw conversion_error("the NetCDF helper answered with " + what);
    }

  private:
    static bool ask(int control, const std::vector<unsigned char> &bytes, const int (&fds)[4]) {
        iovec part{const_cast<unsigned char *>(bytes.data()), bytes.size()};
        alignas(cmsghdr) char space[CMSG_SPACE(sizeof fds)] = {};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = space;
        message.msg_controllen = sizeof space;
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof fds);
        std::memcpy(CMSG_DATA(c), fds, sizeof fds);
        ssize_t n = 0;
        do {
            n = ::sendmsg(control, &message, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(bytes.size());
    }

    // What the server says of the worker; a server that says nothing is stopped.
    protocol::news news(decltype(protocol::news::what) what) {
        protocol::news n;
        ssize_t got = 0;
        do {
            got = ::recv(control_, &n, sizeof n, 0);
        } while (got < 0 && errno == EINTR);
        if (got != static_cast<ssize_t>(sizeof n) || n.what != what) {
            worker_ = -1;
            the_server.stop();
            throw conversion_error("the NetCDF helper stopped answering");
        }
        return n;
    }

    bool read_all(unsigned char *to, std::size_t n) {
        for (std::size_t got = 0; got < n;) {
            const ssize_t k = ::read(reply_.fd, to + got, n - got);
            if (k < 0 && errno == EINTR) {
                continue;
            }
            if (k <= 0) {
                return false;
            }
            got += static_cast<std::size_t>(k);
        }
        return true;
    }

    int exit_status() {
        if (worker_ > 0) {
            worker_ = -1;
            status_ = static_cast<int>(news(protocol::news::ended).value);
        }
        return status_;
    }

    // The worker ended, or stopped talking, before it said all it had to.
    [[noreturn]] void ended() {
        reply_.reset();
        go_.reset();
        const int status = exit_status();
        std::string how;
        if (WIFSIGNALED(status)) {
            const int signal = WTERMSIG(status);
            how = signal == SIGXCPU   ? "it ran out of CPU time"
                  : signal == SIGXFSZ ? "it tried to write a file"
                  : signal == SIGKILL ? "it was killed, perhaps for its memory or CPU time"
                                      : "signal " + std::to_string(signal);
        } else {
            how = "exit status " + std::to_string(WEXITSTATUS(status));
        }
        throw conversion_error("the NetCDF library failed on this file (" + how +
                               "): it is damaged or not a NetCDF file");
    }

    [[noreturn]] void fail_system(const char *what) {
        throw conversion_error(std::string(what) + ": " + std::strerror(errno));
    }

    std::lock_guard<std::mutex> lock_;
    int control_ = -1;
    pid_t worker_ = -1;
    int status_ = 0;
    descriptor reply_;
    descriptor go_;
    descriptor memory_;
};

// Decodes the NetCDF file `input` leads to; a regular file is named to the helper by `name`, so
// that it can find values stored whole, and anything else is read to its end by the helper.
std::vector<std::string> decode(int input, const std::string &name, const netcdf_choice &choice,
                                const std::function<void(const grid_view &)> &use) {
    require_netcdf();
    struct stat st {};
    if (::fstat(input, &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "reading NetCDF");
    }
    if (S_ISDIR(st.st_mode)) {
        throw conversion_error("is a directory");
    }
    const bool file = S_ISREG(st.st_mode);
    if (choice.variable.size() > protocol::text_limit ||
        choice.index.size() > protocol::index_limit) {
        throw conversion_error("a variable's name or a list of --index longer than any file's");
    }
    helper h(input, file ? name : "", choice);
    // While the helper reads the file's header, a file that is not large is mapped, in case its
    // values are stored whole and can be used where they lie.
    mapping whole;
    constexpr std::uint64_t map_ahead_limit = std::uint64_t{1} << 30;
    if (file && st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) <= map_ahead_limit) {
        (void)whole.map(input, static_cast<std::size_t>(st.st_size), MAP_PRIVATE | MAP_POPULATE);
    }
    const protocol::frame description = h.next();
    const std::uint64_t rows = description.rows;
    const std::uint64_t columns = description.columns;
    if (description.what != protocol::kind::description || rows == 0 ||
        rows >= (std::uint64_t{1} << 31) || columns == 0 ||
        !binmat::storable_column_count(columns)) {
        h.garbled("a description that no grid of the format has");
    }
    const std::uint64_t count = rows * columns; // both under 2^31: the product fits
    if (description.stored_whole) {
        struct stat now {};
        if (!file || ::fstat(input, &now) != 0 || description.offset % 4 != 0 ||
            description.offset > static_cast<std::uint64_t>(now.st_size) ||
            4 * count > static_cast<std::uint64_t>(now.st_size) - description.offset) {
            h.garbled("values stored beyond the file");
        }
        if ((whole.at == MAP_FAILED || description.offset + 4 * count > whole.bytes) &&
            !whole.map(input, static_cast<std::size_t>(description.offset + 4 * count),
                       MAP_PRIVATE | MAP_POPULATE)) {
            throw conversion_error("cannot be mapped: " + std::string(std::strerror(errno)));
        }
    } else {
        whole.reset(); // decoded into shared memory instead
    }
    // Memory for what the helper decodes, asked of the machine only for a grid it can hold.
    const std::uint64_t floats = rows + columns + (description.stored_whole ? 0 : count);
    const std::uint64_t bytes = 4 * floats;
    const std::string not_enough = "not enough memory for a grid of " + std::to_string(rows) +
                                   " x " + std::to_string(columns) + " (" +
                                   std::to_string(4 * count) + " bytes)";
    if (bytes > (std::uint64_t{1} << 28) && bytes > memory_available()) {
        throw conversion_error(not_enough);
    }
    if (::ftruncate(h.memory(), static_cast<off_t>(bytes)) != 0) {
        throw conversion_error(not_enough + ": " + std::strerror(errno));
    }
    h.go();
    const protocol::frame done = h.next();
    if (done.what != protocol::kind::done) {
        h.garbled("a frame out of order");
    }
    mapping decoded;
    if (!decoded.map(h.memory(), static_cast<std::size_t>(bytes), MAP_SHARED)) {
        throw conversion_error(not_enough + ": " + std::strerror(errno));
    }
    const auto *coordinates = static_cast<const float *>(decoded.at);
    const float *values = coordinates + rows + columns;
    if (description.stored_whole) {
        values = reinterpret_cast<const float *>(static_cast<const unsigned char *>(whole.at) +
                                                 description.offset);
    }
    use(binmat::grid_view(std::span(coordinates, static_cast<std::size_t>(rows)),
                          std::span(coordinates + rows, static_cast<std::size_t>(columns)),
                          std::span(values, static_cast<std::size_t>(count))));
    // The worker has said all; how it ended is asked only now, so that its exit overlaps the
    // grid's use. One that did not end well makes the whole file refused all the same.
    h.finish();
    std::vector<std::string> warnings;
    for (const std::string &w : done.warnings) {
        warnings.push_back(printable(w, 400));
    }
    return warnings;
}

} // namespace

std::vector<std::string> read_netcdf(const std::filesystem::path &path, const netcdf_choice &choice,
                                     const std::function<void(const grid_view &)> &use) {
    const descriptor opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (opened.fd < 0) {
        throw std::filesystem::filesystem_error("cannot open the NetCDF file", path,
                                                std::error_code(errno, std::generic_category()));
    }
    return decode(opened.fd, path.string(), choice, use);
}

std::vector<std::string> read_netcdf(int descriptor, const netcdf_choice &choice,
                                     const std::function<void(const grid_view &)> &use) {
    // The helper is handed the descriptor as its own 3.
    return decode(descriptor, "/proc/self/fd/3", choice, use);
}

netcdf_listing list_netcdf(const std::filesystem::path &path) {
    require_netcdf();
    const descriptor opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (opened.fd < 0 || ::fstat(opened.fd, &st) != 0) {
        throw std::filesystem::filesystem_error("cannot open the NetCDF file", path,
                                                std::error_code(errno, std::generic_category()));
    }
    if (!S_ISREG(st.st_mode)) {
        throw conversion_error("is not a regular file");
    }
    helper h(opened.fd, path.string(), netcdf_choice{}, true);
    const protocol::frame f = h.next();
    if (f.what != protocol::kind::listing) {
        h.garbled("a frame out of order");
    }
    h.finish();
    netcdf_listing out;
    out.kind = printable(f.file_kind, 60);
    out.variable_count = f.variable_count;
    for (const protocol::listed &v : f.variables) {
        out.variables.push_back({v.name, printable(v.shape, 400), printable(v.type, 60),
                                 v.grid == 1, v.grid == 2 ? printable(v.index, 400) : ""});
    }
    return out;
}

bool looks_like_netcdf(std::span<const unsigned char> head) {
    constexpr unsigned char hdf5[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1A, '\n'};
    return is_netcdf_classic(head) ||
           (head.size() >= sizeof hdf5 && std::memcmp(head.data(), hdf5, sizeof hdf5) == 0);
}

} // namespace binmat
