// The modern interface: what a caller of read, write, read_header and row_reader relies on.
#include <binmat/binary.h>
#include <binmat/binmat.h>
#include <binmat/mapped.h>

#include "support/bytes.h"
#include "support/reading.h"

#include <gtest/gtest.h>

#include <bit>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using binmat::byte_order;
using binmat::defect;
using Bytes = std::vector<unsigned char>;
using Floats = std::vector<float>;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

bool same_bits(const Floats &a, const Floats &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](float x, float y) { return bits(x) == bits(y); });
}

// The bytes of floats stored big-endian, spelled out without the library.
Bytes big_endian(const Floats &values) {
    Bytes out;
    for (float f : values) {
        const std::uint32_t u = bits(f);
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<unsigned char>(u >> shift));
        }
    }
    return out;
}

std::span<const std::byte> as_span(const Bytes &b) { return std::as_bytes(std::span(b)); }

// A temporary file holding data, closed when the test is done with it.
struct stream {
    FILE *f;
    explicit stream(const Bytes &data) : f(bytes::stream_of(data)) {}
    ~stream() { std::fclose(f); }
    stream(const stream &) = delete;
    stream &operator=(const stream &) = delete;
};

// A grid of r rows and c columns with distinct values.
binmat::grid sample_grid(std::size_t r, std::size_t c) {
    binmat::grid g;
    for (std::size_t j = 0; j < c; ++j) {
        g.column_coordinates.push_back(0.5F * static_cast<float>(j));
    }
    for (std::size_t i = 0; i < r; ++i) {
        g.row_coordinates.push_back(-static_cast<float>(i));
        for (std::size_t j = 0; j < c; ++j) {
            g.values.push_back(static_cast<float>(100 * i + j) + 0.25F);
        }
    }
    return g;
}

Bytes written(const binmat::grid &g, byte_order order = byte_order::little) {
    FILE *f = std::tmpfile();
    binmat::write(f, g, {order});
    Bytes b = bytes::of_stream(f);
    std::fclose(f);
    return b;
}

// A file with the data written from another thread through a pipe: a stream that cannot seek.
struct pipe_stream {
    FILE *in = nullptr;
    std::thread feeder;
    explicit pipe_stream(const Bytes &data) {
        // A reader that stops early closes the pipe under the feeder: a failed write, not a kill.
        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        in = fdopen(fds[0], "rb");
        feeder = std::thread([fd = fds[1], data] {
            std::size_t at = 0;
            while (at < data.size()) {
                const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
                if (n <= 0) {
                    break;
                }
                at += static_cast<std::size_t>(n);
            }
            close(fd);
        });
    }
    ~pipe_stream() {
        std::fclose(in);
        feeder.join();
    }
    pipe_stream(const pipe_stream &) = delete;
    pipe_stream &operator=(const pipe_stream &) = delete;
};

fs::path scratch_dir() {
    std::string pattern = (fs::temp_directory_path() / "binmat-grid-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    return pattern;
}

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(read, agrees_with_fread_matrix_over_the_corpus) {
    int files = 0;
    for (const auto &entry : fs::directory_iterator(FUZZ_CORPUS_DIR "/fread_matrix")) {
        const Bytes data = bytes::of_file(entry.path().string());
        SCOPED_TRACE(entry.path().filename().string());
        FILE *ranged = bytes::stream_of(data);
        const Read expected = read_one(ranged);
        const long ranged_at = std::ftell(ranged);
        std::fclose(ranged);
        const float stored = data.size() >= 4 ? bytes::as_floats(data)[0] : 0;
        const binmat::layout l = binmat::layout_of(stored, data.size());

        FILE *modern = bytes::stream_of(data);
        for (int from_memory = 0; from_memory < 2; ++from_memory) {
            try {
                const binmat::grid g =
                    from_memory != 0 ? binmat::read(as_span(data)) : binmat::read(modern);
                ASSERT_EQ(expected.status, 1);
                EXPECT_EQ(g.rows(), static_cast<std::size_t>(expected.nr));
                EXPECT_TRUE(same_bits(g.values, expected.values));
                EXPECT_TRUE(same_bits(g.row_coordinates, expected.row_titles));
                EXPECT_TRUE(same_bits(g.column_coordinates, expected.column_titles));
            } catch (const binmat::format_error &e) {
                EXPECT_EQ(expected.status, 0);
                EXPECT_EQ(e.problem(), l.problem);
                EXPECT_EQ(e.offset(), l.offset);
            }
        }
        EXPECT_EQ(std::ftell(modern), ranged_at)
            << "the stream is left where fread_matrix leaves it";
        std::fclose(modern);
        ++files;
    }
    EXPECT_GT(files, 20);
}

TEST(read, names_every_defect_with_its_offset) {
    struct Case {
        const char *name;
        Bytes data;
        defect problem;
        std::uint64_t offset;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"empty", {}, defect::no_column_count, 0},
        {"three bytes", {0, 0, 0x80}, defect::no_column_count, 0},
        {"count 0.75", bytes::of_floats({0.75F, 1, 2}), defect::bad_column_count, 0},
        {"count NaN", bytes::of_floats({nan, 1, 2}), defect::bad_column_count, 0},
        {"count 2^29", bytes::of_floats({536870912.0F, 1}), defect::bad_column_count, 0},
        {"titles cut", bytes::of_floats({3, 1, 2}), defect::titles_cut_short, 12},
        {"no row", bytes::of_floats({2, 1, 2}), defect::no_complete_row, 12},
        {"title alone", bytes::of_floats({2, 1, 2, 9}), defect::row_cut_short, 12},
        {"second row cut", bytes::of_floats({2, 1, 2, 9, 1, 2, 8, 3}), defect::row_cut_short, 24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            (void)binmat::read(as_span(c.data));
            ADD_FAILURE() << "accepted";
        } catch (const binmat::format_error &e) {
            EXPECT_EQ(e.problem(), c.problem);
            EXPECT_EQ(e.offset(), c.offset);
            const std::string what = e.what();
            EXPECT_NE(what.find(binmat::name_of(c.problem)), std::string::npos) << what;
            EXPECT_NE(what.find("byte offset " + std::to_string(c.offset)), std::string::npos)
                << what;
        }
    }
}

TEST(read, keeps_the_rules_every_reader_shares) {
    // A count of 2.9 is two columns; one to three stray bytes end the data.
    Bytes data = bytes::of_floats({2.9F, 1, 2, 7, 8, 9});
    data.insert(data.end(), {0xEE, 0xEE, 0xEE});
    const binmat::grid g = binmat::read(as_span(data));
    EXPECT_EQ(g.columns(), 2U);
    EXPECT_EQ(g.rows(), 1U);
    EXPECT_EQ(g(0, 1), 9.0F);
    EXPECT_EQ(g.row(0)[0], 8.0F);
    EXPECT_EQ(binmat::read_header(stream(data).f).stray, 3U);
}

TEST(read, reads_a_stream_that_cannot_seek_in_either_order) {
    const binmat::grid g = sample_grid(300, 5);
    for (byte_order order : {byte_order::little, byte_order::big}) {
        const Bytes data = written(g, order);
        pipe_stream asked(data);
        EXPECT_TRUE(same_bits(binmat::read(asked.in, {order}).values, g.values));
        pipe_stream detected(data);
        const binmat::grid d = binmat::read(detected.in, {byte_order::detect});
        EXPECT_EQ(d.order, order);
        EXPECT_TRUE(same_bits(d.values, g.values));
    }
}

TEST(read, read_error_is_an_io_failure_not_a_defect) {
    const Bytes data = written(sample_grid(50, 15));
    for (std::size_t after : {std::size_t{2}, std::size_t{64}, std::size_t{1000}}) {
        // A stream that delivers `after` bytes, then fails with EIO.
        struct state {
            const Bytes *data;
            std::size_t at;
            std::size_t after;
        } s{&data, 0, after};
        cookie_io_functions_t io{};
        io.read = [](void *cookie, char *buf, std::size_t size) -> ssize_t {
            auto *st = static_cast<state *>(cookie);
            if (st->at >= st->after) {
                errno = EIO;
                return -1;
            }
            const std::size_t n = std::min(size, st->after - st->at);
            std::memcpy(buf, st->data->data() + st->at, n);
            st->at += n;
            return static_cast<ssize_t>(n);
        };
        FILE *f = fopencookie(&s, "rb", io);
        try {
            (void)binmat::read(f);
            ADD_FAILURE() << "read past an error after " << after;
        } catch (const std::system_error &e) {
            EXPECT_EQ(e.code().value(), EIO) << after;
        }
        std::fclose(f);
    }
}

TEST(byte_order, big_endian_files_match_bytes_spelled_out_by_hand) {
    binmat::grid g;
    g.column_coordinates = {-1.5F, 2.0F};
    g.row_coordinates = {10.0F, 1e-40F};
    g.values = {1.0F, -0.0F, std::numeric_limits<float>::infinity(), 3.25F};
    const Bytes expected = big_endian(
        {2, -1.5F, 2, 10, 1, -0.0F, 1e-40F, std::numeric_limits<float>::infinity(), 3.25F});
    EXPECT_EQ(written(g, byte_order::big), expected);
    for (byte_order asked : {byte_order::big, byte_order::detect}) {
        const binmat::grid back = binmat::read(as_span(expected), {asked});
        EXPECT_EQ(back.order, byte_order::big);
        EXPECT_TRUE(same_bits(back.values, g.values));
        EXPECT_TRUE(same_bits(back.row_coordinates, g.row_coordinates));
        EXPECT_TRUE(same_bits(back.column_coordinates, g.column_coordinates));
    }
}

TEST(byte_order, detect_keeps_little_for_little_files_and_reports_its_choice) {
    const Bytes data = bytes::of_file(FUZZ_CORPUS_DIR "/fread_matrix/binary3");
    for (const auto &g :
         {binmat::read(as_span(data), {byte_order::detect}),
          binmat::read_file(FUZZ_CORPUS_DIR "/fread_matrix/binary3", {byte_order::detect})}) {
        EXPECT_EQ(g.order, byte_order::little);
        EXPECT_EQ(g.rows(), 31U);
    }
    const binmat::grid g = binmat::read(as_span(data));
    const Bytes swapped = written(g, byte_order::big);
    EXPECT_EQ(binmat::likely_order(swapped, swapped.size()), byte_order::big);
    EXPECT_EQ(binmat::read_header(stream(swapped).f, {byte_order::detect}).order, byte_order::big);
    // Read the wrong way round, the count makes no sense.
    EXPECT_THROW((void)binmat::read(as_span(swapped)), binmat::format_error);
}

TEST(write, refuses_what_it_cannot_store_before_writing_a_byte) {
    struct Case {
        const char *name;
        binmat::grid g;
        byte_order order;
    };
    binmat::grid short_values = sample_grid(3, 4);
    short_values.values.pop_back();
    binmat::grid extra_row = sample_grid(3, 4);
    extra_row.row_coordinates.push_back(7);
    binmat::grid too_wide;
    too_wide.column_coordinates.resize((1U << 24) + 1);
    too_wide.row_coordinates = {0};
    too_wide.values.resize(too_wide.column_coordinates.size());
    const Case cases[] = {
        {"empty", binmat::grid{}, byte_order::little},
        {"no rows", sample_grid(0, 3), byte_order::little},
        {"values short", short_values, byte_order::little},
        {"row without values", extra_row, byte_order::little},
        {"count a float cannot hold", too_wide, byte_order::little},
        {"detect is for reading", sample_grid(1, 1), byte_order::detect},
    };
    const fs::path dir = scratch_dir();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FILE *f = std::tmpfile();
        EXPECT_THROW(binmat::write(f, c.g, {c.order}), std::invalid_argument);
        EXPECT_EQ(std::ftell(f), 0);
        std::fclose(f);
        EXPECT_THROW(binmat::write_file(dir / "out", c.g, {c.order}), std::invalid_argument);
        EXPECT_TRUE(names_in(dir).empty());
    }
    fs::remove_all(dir);
}

TEST(write, produces_what_fwrite_matrix_produces) {
    const binmat::grid g = sample_grid(7, 130); // rows long enough to bypass short-row copying
    float **m = convert_matrix(const_cast<float *>(g.values.data()), 0, 6, 0, 129);
    FILE *f = std::tmpfile();
    ASSERT_EQ(
        fwrite_matrix(f, m, 0, 6, 0, 129, g.row_coordinates.data(), g.column_coordinates.data()),
        1);
    free_convert_matrix(m, 0, 6, 0, 129);
    EXPECT_EQ(written(g), bytes::of_stream(f));
    std::fclose(f);
    // Rows this long are written from where they lie.
    const binmat::grid wide = sample_grid(3, 1500);
    float **w = convert_matrix(const_cast<float *>(wide.values.data()), 0, 2, 0, 1499);
    f = std::tmpfile();
    ASSERT_EQ(fwrite_matrix(f, w, 0, 2, 0, 1499, wide.row_coordinates.data(),
                            wide.column_coordinates.data()),
              1);
    free_convert_matrix(w, 0, 2, 0, 1499);
    EXPECT_EQ(written(wide), bytes::of_stream(f));
    std::fclose(f);
    const binmat::grid tall = sample_grid(70000, 3); // more than one staging block
    EXPECT_TRUE(same_bits(binmat::read(as_span(written(tall))).values, tall.values));
    EXPECT_TRUE(
        same_bits(binmat::read(as_span(written(tall, byte_order::big)), {byte_order::big}).values,
                  tall.values));
}

TEST(row_writer, writes_the_bytes_write_writes_a_row_at_a_time) {
    for (const auto &[rows, columns] :
         {std::pair{3, 4}, std::pair{70000, 3}, std::pair{2, 70000}}) {
        for (const byte_order order : {byte_order::little, byte_order::big}) {
            const binmat::grid g =
                sample_grid(static_cast<std::size_t>(rows), static_cast<std::size_t>(columns));
            FILE *f = std::tmpfile();
            binmat::row_writer w(f, g.column_coordinates, {order});
            for (std::size_t i = 0; i < g.rows(); ++i) {
                w.put(g.row_coordinates[i], g.row(i));
            }
            w.finish();
            EXPECT_EQ(w.rows_written(), g.rows());
            EXPECT_EQ(bytes::of_stream(f), written(g, order)) << rows << " x " << columns;
            std::fclose(f);
        }
    }
}

TEST(row_writer, refuses_rows_it_cannot_store_and_a_file_without_one) {
    FILE *f = std::tmpfile();
    const Floats none;
    EXPECT_THROW(binmat::row_writer(f, none), std::invalid_argument);
    const Floats too_many((1U << 24) + 1);
    EXPECT_THROW(binmat::row_writer(f, too_many), std::invalid_argument);
    const Floats three = {1, 2, 3};
    EXPECT_THROW(binmat::row_writer(f, three, {byte_order::detect}), std::invalid_argument);
    EXPECT_EQ(std::ftell(f), 0);
    binmat::row_writer w(f, three);
    const Floats two = {1, 2};
    EXPECT_THROW(w.put(0, two), std::invalid_argument);
    EXPECT_THROW(w.finish(), std::invalid_argument); // no row: not a file
    w.put(0, three);
    w.finish();
    EXPECT_EQ(binmat::read(as_span(bytes::of_stream(f))).values, three);
    std::fclose(f);
}

TEST(write, writes_a_view_of_memory_it_does_not_own_as_it_writes_a_grid) {
    const binmat::grid g = sample_grid(5, 6);
    // The middle rows of g, seen through spans as another library would hand them over.
    const binmat::grid_view middle(std::span(g.row_coordinates).subspan(1, 3), g.column_coordinates,
                                   std::span(g.values).subspan(6, 18));
    binmat::grid expected = sample_grid(5, 6);
    expected.row_coordinates = {g.row_coordinates.begin() + 1, g.row_coordinates.begin() + 4};
    expected.values = {g.values.begin() + 6, g.values.begin() + 24};
    FILE *f = std::tmpfile();
    binmat::write(f, middle);
    EXPECT_EQ(bytes::of_stream(f), written(expected));
    std::fclose(f);
    const binmat::grid_view mismatched(g.row_coordinates, g.column_coordinates,
                                       std::span(g.values).subspan(6));
    f = std::tmpfile();
    EXPECT_THROW(binmat::write(f, mismatched), std::invalid_argument);
    EXPECT_EQ(std::ftell(f), 0);
    std::fclose(f);
}

TEST(write_file, replaces_the_file_a_link_ends_at_keeping_its_mode) {
    const fs::path dir = scratch_dir();
    const binmat::grid g = sample_grid(4, 3);
    binmat::write_file(dir / "data", sample_grid(1, 1));
    ASSERT_EQ(chmod((dir / "data").c_str(), 0600), 0);
    fs::create_symlink("data", dir / "link");
    binmat::write_file(dir / "link", g);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_TRUE(same_bits(binmat::read_file(dir / "data").values, g.values));
    struct stat st {};
    ASSERT_EQ(stat((dir / "data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"data", "link"}));
    fs::remove_all(dir);
}

TEST(write_file, writes_large_grids_of_short_rows_as_write_does) {
    // Large enough that write_file makes the records of its two halves on two threads; an odd
    // number of rows, so that the halves differ.
    const fs::path dir = scratch_dir();
    const binmat::grid g = sample_grid(1400001, 3);
    for (byte_order order : {byte_order::little, byte_order::big}) {
        binmat::write_file(dir / "g", g, {order});
        EXPECT_EQ(bytes::of_file((dir / "g").string()), written(g, order));
    }
    fs::remove_all(dir);
}

// From here on the system call `call` fails with `error`. False if the filter cannot be installed.
bool refuse_call(long call, int error) {
    sock_filter rules[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(rules)), rules};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// From here on this process can start no thread: clone3, through which threads are made, fails
// with EAGAIN as when a system runs out of them. False if the filter cannot be installed.
bool refuse_new_threads() { return refuse_call(SYS_clone3, EAGAIN); }

TEST(write_file, writes_and_reads_titles_on_one_thread_when_no_thread_can_start) {
    const fs::path dir = scratch_dir();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        bool started = refuse_new_threads();
        try {
            const std::jthread probe([] {});
        } catch (const std::system_error &) {
            started = false;
        }
        if (started) {
            _exit(4); // threads are made some other way here
        }
        int code = 0;
        try {
            const binmat::grid tall = sample_grid(1400001, 3); // on two threads when it can be
            const binmat::grid wide = sample_grid(1100, 2000); // its titles read on two
            binmat::write_file(dir / "tall", tall);
            binmat::write_file(dir / "wide", wide);
            const binmat::header h = binmat::read_header(dir / "wide");
            const bool same =
                bytes::of_file((dir / "tall").string()) == written(tall) &&
                same_bits(binmat::read_row_coordinates(dir / "wide", h), wide.row_coordinates);
            code = same ? 0 : 5;
        } catch (...) {
            code = 6;
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    fs::remove_all(dir);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 4) {
        GTEST_SKIP() << "threads cannot be refused here (valgrind?)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "5: a wrong file or title, 6: an exception";
}

TEST(write_file, failure_leaves_the_target_and_no_temporary_file) {
    const fs::path dir = scratch_dir();
    const fs::path target = dir / "target";
    binmat::write_file(target, sample_grid(2, 2));
    const Bytes before = bytes::of_file(target.string());

    // A full disk, as a file-size limit makes one: the write fails part-way.
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        int code = 0;
        // Rows of 100 go out from one thread, the two halves of 1.4 million short rows from two.
        for (const std::size_t rows : {1000U, 1400000U}) {
            try {
                binmat::write_file(target, sample_grid(rows, rows == 1000 ? 100 : 3));
                code = 3;
            } catch (const std::system_error &e) {
                code = std::max(code, e.code().value() == EFBIG ? 0 : 2);
            }
        }
        _exit(code); // outside the handler, so that nothing is left for a leak checker to find
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(bytes::of_file(target.string()), before);

    // A directory in the way.
    fs::create_directory(dir / "sub");
    EXPECT_THROW(binmat::write_file(dir / "sub", sample_grid(2, 2)), fs::filesystem_error);
    // A directory that cannot be written.
    EXPECT_THROW(binmat::write_file(dir / "missing" / "x", sample_grid(2, 2)),
                 fs::filesystem_error);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"sub", "target"}));
    fs::remove_all(dir);
}

TEST(read_header, measures_a_file_without_reading_its_values) {
    FILE *f = std::fopen(FUZZ_CORPUS_DIR "/fread_matrix/binary1", "rb");
    const binmat::header h = binmat::read_header(f);
    EXPECT_EQ(h.columns(), 21U);
    EXPECT_EQ(h.rows, 31U);
    EXPECT_EQ(h.stray, 0U);
    EXPECT_EQ(h.first_row_offset, 88U);
    EXPECT_EQ(h.length, 2816U);
    EXPECT_EQ(h.column_coordinates.front(), -2.0F);
    EXPECT_EQ(std::ftell(f), 88) << "left at the first row";
    std::fclose(f);
    // It refuses what read refuses, and measures a pipe by reading through it.
    EXPECT_THROW((void)binmat::read_header(stream(bytes::of_floats({2, 1, 2, 9})).f),
                 binmat::format_error);
    pipe_stream p(written(sample_grid(500, 2)));
    EXPECT_EQ(binmat::read_header(p.in).rows, 500U);
}

TEST(read_rows, fills_the_callers_storage_and_refuses_a_file_that_shrank) {
    // Short rows through the block, long rows straight into place, in both byte orders.
    for (const std::size_t columns : {3U, 70000U}) {
        for (const byte_order order : {byte_order::little, byte_order::big}) {
            SCOPED_TRACE(std::to_string(columns) + (order == byte_order::big ? " big" : ""));
            const binmat::grid g = sample_grid(columns == 3 ? 70000 : 3, columns);
            Bytes data = written(g, order);
            FILE *f = bytes::stream_of(data);
            const binmat::header h = binmat::read_header(f, {order});
            std::vector<float> rows(h.rows);
            std::vector<float> values(h.rows * h.columns());
            binmat::read_rows(f, h, rows, values);
            EXPECT_TRUE(same_bits(values, g.values));
            EXPECT_TRUE(same_bits(rows, g.row_coordinates));
            std::fclose(f);

            // The file shrank after its header was read: the last row gone and the one before
            // cut, or the last two gone, which leaves a file by itself but short of the rows it
            // was measured with. Either way the row cut short is the first one missing.
            const std::size_t last_two = h.first_row_offset + (h.rows - 2) * h.row_bytes();
            for (const std::size_t length : {data.size() - 4 * (columns + 1) - 5, last_two}) {
                data.resize(length);
                f = bytes::stream_of(data);
                std::fseek(f, static_cast<long>(h.first_row_offset), SEEK_SET);
                try {
                    binmat::read_rows(f, h, rows, values);
                    ADD_FAILURE() << "a shrunk file was read";
                } catch (const binmat::format_error &e) {
                    EXPECT_EQ(e.problem(), binmat::defect::row_cut_short);
                    EXPECT_EQ(e.offset(), last_two);
                    if (length == last_two) {
                        EXPECT_NE(std::string(e.what()).find(
                                      "it ends after " + std::to_string(h.rows - 2) + " of the " +
                                      std::to_string(h.rows) + " rows"),
                                  std::string::npos)
                            << e.what();
                    }
                }
                std::fclose(f);
            }
            f = bytes::stream_of(data);
            rows.pop_back();
            EXPECT_THROW(binmat::read_rows(f, h, rows, values), std::invalid_argument);
            std::fclose(f);
        }
    }
}

TEST(read_row_coordinates, reads_the_titles_of_short_and_long_rows_alone) {
    const fs::path dir = scratch_dir();
    // Blocks of rows, or a title from each row; few rows on one thread, many on two.
    for (const auto &[rows, columns] :
         {std::pair<std::size_t, std::size_t>{300000, 3}, {600000, 3}, {40, 2000}, {1100, 2000}}) {
        SCOPED_TRACE(std::to_string(rows) + " x " + std::to_string(columns));
        const binmat::grid g = sample_grid(rows, columns);
        binmat::write_file(dir / "g", g, {byte_order::big});
        const binmat::header h = binmat::read_header(dir / "g", {byte_order::big});
        EXPECT_TRUE(same_bits(binmat::read_row_coordinates(dir / "g", h), g.row_coordinates));
        // Again with none of the file's pages cached, where the file system can drop them.
        const int fd = ::open((dir / "g").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
        EXPECT_TRUE(same_bits(binmat::read_row_coordinates(dir / "g", h), g.row_coordinates));
        // Cut short in the first half, then in the second: the first missing byte is named.
        for (const std::size_t whole : {std::size_t{2}, rows - 3}) {
            fs::resize_file(dir / "g", h.first_row_offset + whole * h.row_bytes());
            try {
                (void)binmat::read_row_coordinates(dir / "g", h);
                ADD_FAILURE() << "a shrunk file was read";
            } catch (const binmat::format_error &e) {
                EXPECT_EQ(e.problem(), binmat::defect::row_cut_short);
                EXPECT_EQ(e.offset(), h.first_row_offset + whole * h.row_bytes());
            }
        }
    }
    fs::remove_all(dir);
}

TEST(read_row_coordinates, reads_alike_from_many_threads_at_once_and_in_a_forked_child) {
    const fs::path dir = scratch_dir();
    const binmat::grid g = sample_grid(5000, 1100);
    binmat::write_file(dir / "g", g, {byte_order::little, false});
    const binmat::header h = binmat::read_header(dir / "g");
    // More readers at once than the library keeps batches for: the rest read one by one.
    std::vector<Floats> got(12);
    {
        std::vector<std::jthread> readers;
        readers.reserve(got.size());
        for (Floats &each : got) {
            readers.emplace_back([&] { each = binmat::read_row_coordinates(dir / "g", h); });
        }
    }
    for (const Floats &each : got) {
        EXPECT_TRUE(same_bits(each, g.row_coordinates));
    }
    // A child inherits the numbers of its parent's batches, not the batches.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool same = false;
        try {
            same = same_bits(binmat::read_row_coordinates(dir / "g", h), g.row_coordinates);
        } catch (...) {
        }
        ::_exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    fs::remove_all(dir);
}

TEST(read_row_coordinates, reads_one_by_one_where_batched_reads_are_refused) {
    const fs::path dir = scratch_dir();
    const binmat::grid g = sample_grid(1100, 2000);
    binmat::write_file(dir / "g", g, {byte_order::big, false});
    const binmat::header h = binmat::read_header(dir / "g", {byte_order::big});
    ASSERT_TRUE(same_bits(binmat::read_row_coordinates(dir / "g", h), g.row_coordinates));
    // A kernel without them, a sandbox that forbids them, a context the kernel no longer knows,
    // a kernel out of room for more reads.
    for (const auto &[call, error] : {std::pair<long, int>{SYS_io_setup, ENOSYS},
                                      {SYS_io_setup, EPERM},
                                      {SYS_io_submit, EINVAL},
                                      {SYS_io_submit, EAGAIN}}) {
        std::fflush(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int code = 4;
            try {
                if (refuse_call(call, error)) {
                    Floats two(std::size_t{1100} * 2);
                    binmat::read_columns(dir / "g", h, 0, 1998, 2, two);
                    code =
                        same_bits(binmat::read_row_coordinates(dir / "g", h), g.row_coordinates) &&
                                bits(two[std::size_t{2} * 1099 + 1]) == bits(g.values.back())
                            ? 0
                            : 5;
                }
            } catch (...) {
                code = 6;
            }
            ::_exit(code);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << call << " " << status;
    }
    fs::remove_all(dir);
}

TEST(read_row_coordinates, refuses_a_file_replaced_or_rewritten_since_its_header) {
    const fs::path dir = scratch_dir();
    binmat::write_file(dir / "g", sample_grid(5, 3), {byte_order::little, false});
    const binmat::header h = binmat::read_header(dir / "g");
    EXPECT_NE(h.inode, 0U);
    // Replaced by another file, then rewritten in place with the first one's size.
    binmat::write_file(dir / "g", sample_grid(5, 3), {byte_order::little, false});
    EXPECT_THROW((void)binmat::read_row_coordinates(dir / "g", h), fs::filesystem_error);
    const binmat::header again = binmat::read_header(dir / "g");
    std::fstream(dir / "g", std::ios::in | std::ios::out | std::ios::binary).write("\0\0\0\0", 4);
    struct timespec later[2] = {{0, UTIME_OMIT}, {again.modified / 1000000000 + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "g").c_str(), later, 0), 0);
    try {
        (void)binmat::read_row_coordinates(dir / "g", again);
        ADD_FAILURE() << "a rewritten file was read";
    } catch (const fs::filesystem_error &e) {
        EXPECT_EQ(e.code().value(), ESTALE);
        EXPECT_EQ(e.path1(), dir / "g");
    }
    fs::remove_all(dir);
}

TEST(read_rows, reads_any_block_of_rows_of_a_path_where_it_lies_in_either_order) {
    const fs::path dir = scratch_dir();
    // Rows shorter and longer than a read block, so that blocks split where rows end.
    for (const auto &[rows, columns] :
         {std::pair<std::size_t, std::size_t>{70000, 3}, {600000, 3}, {9, 300000}, {2000, 1500}}) {
        const binmat::grid g = sample_grid(rows, columns);
        for (const byte_order order : {byte_order::little, byte_order::big}) {
            binmat::write_file(dir / "g", g, {order, false});
            const binmat::header h = binmat::read_header(dir / "g", {order});
            for (const auto &[first, count] :
                 {std::pair<std::size_t, std::size_t>{0, rows}, {rows / 3, rows / 2}, {rows, 0}}) {
                Floats coordinates(count);
                Floats values(count * columns);
                binmat::read_rows(dir / "g", h, first, coordinates, values);
                const auto at = [](const Floats &v, std::size_t k) {
                    return v.begin() + static_cast<std::ptrdiff_t>(k);
                };
                EXPECT_TRUE(same_bits(coordinates, Floats(at(g.row_coordinates, first),
                                                          at(g.row_coordinates, first + count))));
                EXPECT_TRUE(same_bits(values, Floats(at(g.values, first * columns),
                                                     at(g.values, (first + count) * columns))));
            }
        }
    }
    fs::remove_all(dir);
}

TEST(read_columns, reads_a_span_of_columns_of_any_rows_in_either_order) {
    const fs::path dir = scratch_dir();
    const binmat::grid g = sample_grid(7, 40);
    for (const byte_order order : {byte_order::little, byte_order::big}) {
        binmat::write_file(dir / "g", g, {order, false});
        const binmat::header h = binmat::read_header(dir / "g", {order});
        for (const auto &[first, rows, left, width] :
             {std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>{0, 7, 0, 40},
              {2, 3, 39, 1},
              {6, 1, 5, 10},
              {3, 0, 1, 2}}) {
            Floats values(rows * width);
            binmat::read_columns(dir / "g", h, first, left, width, values);
            Floats expected;
            for (std::size_t r = first; r < first + rows; ++r) {
                for (std::size_t c = left; c < left + width; ++c) {
                    expected.push_back(g.values[r * 40 + c]);
                }
            }
            EXPECT_TRUE(same_bits(values, expected)) << first << " " << left;
        }
        Floats values(4);
        EXPECT_THROW(binmat::read_columns(dir / "g", h, 6, 38, 2, values), std::invalid_argument);
        EXPECT_THROW(binmat::read_columns(dir / "g", h, 0, 39, 2, values), std::invalid_argument);
    }
    // Many rows, read many to a system call.
    const binmat::grid tall = sample_grid(3000, 1200);
    binmat::write_file(dir / "tall", tall, {byte_order::big, false});
    const binmat::header th = binmat::read_header(dir / "tall", {byte_order::big});
    Floats three(std::size_t{2990} * 3);
    binmat::read_columns(dir / "tall", th, 10, 5, 3, three);
    for (std::size_t r = 0; r < 2990; ++r) {
        ASSERT_EQ(bits(three[3 * r + 2]), bits(tall.values[(r + 10) * 1200 + 7])) << r;
    }
    binmat::write_file(dir / "g", sample_grid(7, 40), {byte_order::big, false});
    const binmat::header stale = binmat::read_header(dir / "g", {byte_order::big});
    binmat::write_file(dir / "g", g, {byte_order::big, false});
    Floats values(2);
    EXPECT_THROW(binmat::read_columns(dir / "g", stale, 0, 0, 1, values), fs::filesystem_error);
    fs::remove_all(dir);
}

TEST(write_rows_at, fills_a_file_in_any_order_with_the_bytes_write_file_writes) {
    const fs::path dir = scratch_dir();
    const binmat::grid g = sample_grid(300000, 3);
    for (const byte_order order : {byte_order::little, byte_order::big}) {
        binmat::write_file(dir / "whole", g, {order, false});
        const int fd = ::open((dir / "placed").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        binmat::write_header_at(fd, g.column_coordinates, g.rows(), {order, false});
        // Blocks as workers finish them: the last first, one of a single row.
        for (const auto &[first, count] :
             {std::pair<std::size_t, std::size_t>{200001, 99999}, {0, 200000}, {200000, 1}}) {
            binmat::write_rows_at(
                fd, 3, first, std::span<const float>(g.row_coordinates).subspan(first, count),
                std::span<const float>(g.values).subspan(3 * first, 3 * count), {order, false});
        }
        ::close(fd);
        EXPECT_EQ(bytes::of_file((dir / "placed").string()),
                  bytes::of_file((dir / "whole").string()));
    }
    const int fd = ::open((dir / "placed").c_str(), O_RDWR);
    const Floats one(1);
    EXPECT_THROW(binmat::write_header_at(fd, {}, 1), std::invalid_argument);
    EXPECT_THROW(binmat::write_header_at(fd, one, 0), std::invalid_argument);
    EXPECT_THROW(binmat::write_rows_at(fd, 3, 0, one, one), std::invalid_argument);
    ::close(fd);
    const int read_only = ::open((dir / "placed").c_str(), O_RDONLY);
    EXPECT_THROW(binmat::write_rows_at(read_only, 1, 0, one, one), std::system_error);
    ::close(read_only);
    fs::remove_all(dir);
}

TEST(read_rows, refuses_a_path_changed_since_its_header_and_rows_it_does_not_count) {
    const fs::path dir = scratch_dir();
    binmat::write_file(dir / "g", sample_grid(5, 3), {byte_order::little, false});
    const binmat::header h = binmat::read_header(dir / "g");
    Floats coordinates(2);
    Floats values(6);
    EXPECT_THROW(binmat::read_rows(dir / "g", h, 4, coordinates, values), std::invalid_argument);
    Floats short_values(5);
    EXPECT_THROW(binmat::read_rows(dir / "g", h, 0, coordinates, short_values),
                 std::invalid_argument);
    // Grown, or replaced by a file of the same size: nothing read is mixed with the old file.
    for (const auto &change : std::vector<std::function<void()>>{
             [&] { std::ofstream(dir / "g", std::ios::app | std::ios::binary) << "x"; },
             [&] {
                 binmat::write_file(dir / "g", sample_grid(5, 3), {byte_order::little, false});
             }}) {
        change();
        try {
            binmat::read_rows(dir / "g", h, 0, coordinates, values);
            ADD_FAILURE() << "a changed file was read";
        } catch (const fs::filesystem_error &e) {
            EXPECT_EQ(e.code().value(), ESTALE);
            EXPECT_EQ(e.path1(), dir / "g");
        }
    }
    fs::remove_all(dir);
}

TEST(mapped_grid, decodes_what_read_gives_in_either_order_and_only_rows_it_holds) {
    const fs::path dir = scratch_dir();
    const binmat::grid g = sample_grid(40, 17);
    for (const byte_order order : {byte_order::little, byte_order::big}) {
        binmat::write_file(dir / "g", g, {order, false});
        const binmat::mapped_grid m(dir / "g", {order});
        EXPECT_EQ(m.header().rows, 40U);
        EXPECT_EQ(m.stored_rows(3, 2).size(), 2 * m.header().row_bytes());
        Floats coordinates(30);
        Floats values(std::size_t{30} * 17);
        m.copy_rows(10, 30, coordinates.data(), values.data());
        EXPECT_TRUE(same_bits(coordinates,
                              Floats(g.row_coordinates.begin() + 10, g.row_coordinates.end())));
        EXPECT_TRUE(
            same_bits(values, Floats(g.values.begin() + std::ptrdiff_t{10} * 17, g.values.end())));
        EXPECT_THROW(m.copy_rows(11, 30, coordinates.data(), values.data()), std::out_of_range);
    }
    EXPECT_THROW(binmat::mapped_grid{dir}, std::system_error);
    fs::remove_all(dir);
}

TEST(row_reader, hands_over_each_row_in_the_callers_storage) {
    const binmat::grid g = sample_grid(40, 6);
    for (byte_order order : {byte_order::little, byte_order::big}) {
        pipe_stream p(written(g, order));
        binmat::row_reader rows(p.in, {order});
        EXPECT_TRUE(
            same_bits(Floats(rows.column_coordinates().begin(), rows.column_coordinates().end()),
                      g.column_coordinates));
        Floats values(rows.columns());
        float coordinate = 0;
        std::size_t i = 0;
        while (rows.next(coordinate, values)) {
            EXPECT_EQ(coordinate, g.row_coordinates[i]);
            EXPECT_TRUE(same_bits(values, Floats(g.row(i).begin(), g.row(i).end())));
            ++i;
        }
        EXPECT_EQ(i, 40U);
        EXPECT_EQ(rows.rows_read(), 40U);
        EXPECT_FALSE(rows.next(coordinate, values));
    }
}

TEST(row_reader, refuses_at_the_end_what_read_refuses) {
    Bytes cut = written(sample_grid(3, 2));
    cut.resize(cut.size() - 4);
    FILE *f = bytes::stream_of(cut);
    binmat::row_reader rows(f);
    Floats values(2);
    float coordinate = 0;
    EXPECT_TRUE(rows.next(coordinate, values));
    EXPECT_TRUE(rows.next(coordinate, values));
    try {
        (void)rows.next(coordinate, values);
        ADD_FAILURE() << "a row cut short passed";
    } catch (const binmat::format_error &e) {
        EXPECT_EQ(e.problem(), defect::row_cut_short);
        EXPECT_EQ(e.offset(), 36U);
    }
    std::fclose(f);
    Floats wrong(3);
    FILE *g = bytes::stream_of(written(sample_grid(1, 2)));
    binmat::row_reader one(g);
    EXPECT_THROW((void)one.next(coordinate, wrong), std::invalid_argument);
    std::fclose(g);
    pipe_stream p(written(sample_grid(1, 2)));
    EXPECT_THROW(binmat::row_reader(p.in, {byte_order::detect}), std::invalid_argument);
}

} // namespace
