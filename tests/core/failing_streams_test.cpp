// Streams that fail under the library: full devices, writers that die, files cut while read, and
// read errors. None may hang, crash, or pass a broken file off as a good one.
#include <binmat/binary.h>

#include "support/bytes.h"
#include "support/reading.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Columns 0..columns-1, rows numbered: 4 (columns + 1) (rows + 1) bytes.
Bytes file_of_shape(int rows, int columns) {
    std::vector<float> f{static_cast<float>(columns)};
    for (int k = 0; k < (rows + 1) * (columns + 1) - 1; ++k) {
        f.push_back(static_cast<float>(k));
    }
    return bytes::of_floats(f);
}

// fread_matrix's result and the row count.
std::pair<TBOOLEAN, int> read_rows(FILE *f) {
    const Read r = read_one(f);
    return {r.status, r.nr};
}

TEST(failing_streams, full_device_fails_the_write_of_a_large_matrix) {
    float **m = matrix(0, 99, 0, 999);
    for (int i = 0; i < 100; ++i) {
        std::memset(m[i], 0, 1000 * sizeof(float));
    }
    FILE *f = std::fopen("/dev/full", "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwrite_matrix(f, m, 0, 99, 0, 999, nullptr, nullptr), 0);
    std::fclose(f);

    // A small matrix fits the stream's buffer: the failure surfaces when it is flushed.
    f = std::fopen("/dev/full", "wb");
    EXPECT_EQ(fwrite_matrix(f, m, 0, 1, 0, 1, nullptr, nullptr), 1);
    EXPECT_NE(std::fclose(f), 0);
    free_matrix(m, 0, 99, 0, 999);
}

// A child writes `head` bytes of the file into a pipe and dies, killed or exiting.
FILE *pipe_from_dying_writer(const Bytes &data, std::size_t head, bool killed) {
    int fds[2];
    if (pipe(fds) != 0) {
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (write(fds[1], data.data(), head) != static_cast<ssize_t>(head)) {
            _exit(2);
        }
        if (killed) {
            raise(SIGKILL);
        }
        _exit(0);
    }
    close(fds[1]);
    FILE *in = fdopen(fds[0], "rb");
    waitpid(pid, nullptr, 0);
    return in;
}

TEST(failing_streams, writer_dying_mid_row_gives_zero_and_at_a_row_end_the_rows_so_far) {
    const Bytes data = file_of_shape(20, 7);
    const std::size_t row_bytes = std::size_t{4} * 8;
    for (bool killed : {false, true}) {
        FILE *in = pipe_from_dying_writer(data, 5 * row_bytes + 12, killed);
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(read_rows(in).first, 0) << "killed: " << killed;
        std::fclose(in);

        in = pipe_from_dying_writer(data, 5 * row_bytes, killed);
        EXPECT_EQ(read_rows(in), std::make_pair(1, 4)) << "killed: " << killed;
        std::fclose(in);
    }
}

// A stream over a file descriptor that, once `after` bytes have been delivered, either cuts the
// file to `cut_to` bytes or fails every further read with EIO.
struct Sabotage {
    int fd;
    std::size_t after;
    std::size_t delivered;
    off_t cut_to; // negative: fail with EIO instead
};

ssize_t sabotaged_read(void *cookie, char *buf, std::size_t size) {
    auto *s = static_cast<Sabotage *>(cookie);
    if (s->delivered >= s->after) {
        if (s->cut_to < 0) {
            errno = EIO;
            return -1;
        }
        if (ftruncate(s->fd, s->cut_to) != 0) {
            return -1;
        }
    }
    // Small reads, so that the sabotage lands in the middle of fread_matrix's work.
    const ssize_t n = read(s->fd, buf, size < 64 ? size : 64);
    if (n > 0) {
        s->delivered += static_cast<std::size_t>(n);
    }
    return n;
}

std::pair<TBOOLEAN, int> read_sabotaged(const Bytes &data, std::size_t after, off_t cut_to) {
    char path[] = "/tmp/binmat-cut-XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        ADD_FAILURE() << "cannot stage the file";
        return {-1, -1};
    }
    Sabotage s{fd, after, 0, cut_to};
    cookie_io_functions_t io{};
    io.read = sabotaged_read;
    FILE *f = fopencookie(&s, "rb", io);
    std::setvbuf(f, nullptr, _IONBF, 0);
    const auto result = read_rows(f);
    std::fclose(f);
    close(fd);
    return result;
}

TEST(failing_streams, file_cut_while_read_gives_what_it_then_holds) {
    const Bytes data = file_of_shape(50, 15); // rows of 64 bytes
    const off_t head = 64;
    const off_t row = 64;
    EXPECT_EQ(read_sabotaged(data, 640, head + 12 * row), std::make_pair(1, 12)) << "at a row end";
    EXPECT_EQ(read_sabotaged(data, 640, head + 12 * row + 20).first, 0) << "inside a row";
    EXPECT_EQ(read_sabotaged(data, 640, 30), std::make_pair(1, 9)) << "behind the reader";
}

TEST(failing_streams, read_error_is_not_the_end_of_the_data) {
    const Bytes data = file_of_shape(50, 15);
    for (std::size_t after : {std::size_t{0}, std::size_t{64}, std::size_t{640}}) {
        EXPECT_EQ(read_sabotaged(data, after, -1).first, 0) << "error after " << after << " bytes";
    }
}

} // namespace
