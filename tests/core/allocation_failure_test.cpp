// Every allocation the library makes, made to fail in turn. Each operation runs in a child with the
// k-th request failing, for k = 1, 2, ... until it completes: every run must end with a documented
// fatal report and status 1, or a documented null result, and never a crash, a leak or another
// text.
#include <binmat/alloc.h>
#include <binmat/binary.h>

#include "support/bytes.h"
#include "support/heap.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// How a child's run of an operation ended, as its exit status.
enum Ending : int {
    completed = 0,    // the operation succeeded and released everything it made
    fatal = 1,        // int_error's status
    null_result = 3,  // the documented null/0 result, everything released
    wrong_result = 4, // the operation finished with a result it must not give
    unbalanced = 5,   // blocks acquired and not released on a returning path
};

enum class Result { done, refused, wrong };

struct Operation {
    std::string name;
    std::function<Result()> run;
    std::vector<std::string> fatal_texts;
};

struct Child {
    int status;
    std::string error;
};

Child run_in_child(const Operation &op, long fail_from, long fail_count) {
    int err[2];
    if (pipe(err) != 0) {
        return {-1, "pipe failed"};
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(err[0]);
        dup2(err[1], STDERR_FILENO);
        heap::watch(fail_from, fail_count);
        const Result r = op.run();
        const bool balanced = heap::acquired() == heap::released();
        heap::unwatch();
        if (r == Result::wrong) {
            _exit(wrong_result);
        }
        _exit(!balanced ? unbalanced : r == Result::done ? completed : null_result);
    }
    close(err[1]);
    std::string text;
    char chunk[512];
    ssize_t n = 0;
    while ((n = read(err[0], chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(err[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), text};
}

bool documented(const Operation &op, const Child &c) {
    if (c.status == null_result || c.status == completed) {
        return c.error.empty();
    }
    if (c.status != fatal) {
        return false;
    }
    for (const std::string &text : op.fatal_texts) {
        if (c.error == host::fatal_report(text)) {
            return true;
        }
    }
    return false;
}

// The requests op makes when none fails.
long requests_of(const Operation &op) {
    heap::watch();
    const Result r = op.run();
    const long n = heap::requests();
    heap::unwatch();
    EXPECT_EQ(r, Result::done) << op.name;
    return n;
}

const char *const create_texts[] = {"not enough memory to create vector",
                                    "out of memory for matrix",
                                    "not enough memory to create matrix"};

std::vector<std::string> texts(std::initializer_list<const char *> extra) {
    std::vector<std::string> all(std::begin(create_texts), std::end(create_texts));
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

Result check(bool ok) { return ok ? Result::done : Result::wrong; }

// A file of the given shape, values numbered so that a misplaced one shows.
std::vector<unsigned char> file_of_shape(int rows, int columns) {
    std::vector<float> f{static_cast<float>(columns)};
    for (int j = 0; j < columns; ++j) {
        f.push_back(static_cast<float>(j));
    }
    for (int i = 0; i < rows; ++i) {
        f.push_back(static_cast<float>(-i));
        for (int j = 0; j < columns; ++j) {
            f.push_back(static_cast<float>(i * columns + j));
        }
    }
    return bytes::of_floats(f);
}

Result read_file(const std::vector<unsigned char> &data, int rows, int columns) {
    FILE *f = fmemopen(const_cast<unsigned char *>(data.data()), data.size(), "rb");
    float **m = nullptr;
    float *rt = nullptr;
    float *ct = nullptr;
    int nr = 0;
    int nc = 0;
    const TBOOLEAN status = fread_matrix(f, &m, &nr, &nc, &rt, &ct);
    std::fclose(f);
    if (status == 0) {
        return Result::wrong; // a valid file is never turned down for want of memory
    }
    const bool ok = nr == rows && nc == columns && rt[nr - 1] == static_cast<float>(1 - nr) &&
                    m[nr - 1][nc - 1] == static_cast<float>(nr * nc - 1);
    free_matrix(m, 0, nr - 1, 0, nc - 1);
    free_vector(rt, 0, nr - 1);
    free_vector(ct, 0, nc - 1);
    return check(ok);
}

std::vector<Operation> operations() {
    std::vector<Operation> ops;
    ops.push_back({"zr_alloc without message",
                   [] {
                       void *p = zr_alloc(16, nullptr);
                       std::free(p);
                       return p != nullptr ? Result::done : Result::refused;
                   },
                   {}});
    ops.push_back({"zr_realloc without message",
                   [] {
                       void *p = zr_alloc(16, "test");
                       void *q = zr_realloc(p, 64, nullptr);
                       std::free(q != nullptr ? q : p);
                       return q != nullptr ? Result::done : Result::refused;
                   },
                   {"out of memory for test"}});
    ops.push_back({"creating a vector",
                   [] {
                       float *v = vector(-2, 5);
                       free_vector(v, -2, 5);
                       return Result::done;
                   },
                   texts({})});
    ops.push_back({"creating a matrix",
                   [] {
                       float **m = matrix(1, 4, -1, 2);
                       free_matrix(m, 1, 4, -1, 2);
                       return Result::done;
                   },
                   texts({})});
    ops.push_back({"growing and shrinking a vector",
                   [] {
                       float *v = vector(0, 9);
                       v[9] = 9.0F;
                       v = extend_vector(v, 0, 9, 99);
                       v = retract_vector(v, 0, 99, 19);
                       const bool ok = v[9] == 9.0F;
                       free_vector(v, 0, 19);
                       return check(ok);
                   },
                   texts({"out of memory for extend vector", "out of memory for retract vector"})});
    ops.push_back({"growing a matrix in both directions",
                   [] {
                       float **m = matrix(0, 2, 0, 2);
                       m[2][2] = 5.0F;
                       m = extend_matrix(m, 0, 2, 0, 2, 5, 4);
                       const bool ok = m[2][2] == 5.0F;
                       free_matrix(m, 0, 5, 0, 4);
                       return check(ok);
                   },
                   texts({"out of memory for extend matrix", "out of memory for extend vector",
                          "not enough memory to extend matrix"})});
    ops.push_back(
        {"shrinking a matrix in both directions",
         [] {
             float **m = matrix(0, 5, 0, 4);
             m[1][1] = 5.0F;
             m = retract_matrix(m, 0, 5, 0, 4, 2, 2);
             const bool ok = m[1][1] == 5.0F;
             free_matrix(m, 0, 2, 0, 2);
             return check(ok);
         },
         texts({"out of memory for retract matrix", "out of memory for retract vector"})});
    ops.push_back({"wrapping a block",
                   [] {
                       float block[6] = {0, 1, 2, 3, 4, 5};
                       float **m = convert_matrix(block, 0, 1, 0, 2);
                       const bool ok = m[1][2] == 5.0F;
                       free_convert_matrix(m, 0, 1, 0, 2);
                       return check(ok);
                   },
                   {"out of memory for convert_matrix"}});
    ops.push_back({"writing with null titles",
                   [] {
                       float block[6] = {0, 1, 2, 3, 4, 5};
                       float **m = convert_matrix(block, 0, 1, 0, 2);
                       FILE *f = std::fopen("/dev/null", "wb");
                       const TBOOLEAN written = fwrite_matrix(f, m, 0, 1, 0, 2, nullptr, nullptr);
                       std::fclose(f);
                       free_convert_matrix(m, 0, 1, 0, 2);
                       return check(written == 1);
                   },
                   texts({"out of memory for convert_matrix"})});
    ops.push_back({"writing a matrix large enough to be staged",
                   [] {
                       std::vector<float> block(std::size_t{300} * 100, 1.0F);
                       float **m = convert_matrix(block.data(), 0, 299, 0, 99);
                       FILE *f = std::fopen("/dev/null", "wb");
                       const TBOOLEAN written =
                           fwrite_matrix(f, m, 0, 299, 0, 99, nullptr, nullptr);
                       std::fclose(f);
                       free_convert_matrix(m, 0, 299, 0, 99);
                       return check(written == 1);
                   },
                   texts({"out of memory for convert_matrix"})});
    // Small files, a long one read through the larger staging block, rows that take it from the
    // start, and rows too long to stage.
    const int shapes[][2] = {{1, 1},   {1, 3000},  {300, 1},  {100, 3},
                             {151, 2}, {2000, 10}, {2, 5000}, {2, 70000}};
    for (const auto &shape : shapes) {
        const int rows = shape[0];
        const int columns = shape[1];
        const auto data =
            std::make_shared<std::vector<unsigned char>>(file_of_shape(rows, columns));
        ops.push_back(
            {"reading a " + std::to_string(rows) + " x " + std::to_string(columns) + " file",
             [data, rows, columns] { return read_file(*data, rows, columns); },
             texts({"out of memory for extend matrix", "out of memory for extend vector",
                    "not enough memory to extend matrix", "out of memory for retract matrix",
                    "out of memory for retract vector"})});
    }
    return ops;
}

TEST(allocation_failure, exhausted_heap_ends_each_operation_as_documented) {
    long sites = 0;
    for (const Operation &op : operations()) {
        const long n = requests_of(op);
        sites += n;
        for (long k = 1; k <= n; ++k) {
            const Child c = run_in_child(op, k, -1);
            EXPECT_TRUE(documented(op, c) && c.status != completed)
                << op.name << ", failing from request " << k << ": status " << c.status << "\n"
                << c.error;
        }
    }
    std::printf("allocation requests made to fail: %ld\n", sites);
    EXPECT_GT(sites, 100);
}

TEST(allocation_failure, single_failure_is_absorbed_by_the_retry) {
    for (const Operation &op : operations()) {
        const long n = requests_of(op);
        for (long k = 1; k <= n; ++k) {
            const Child c = run_in_child(op, k, 1);
            EXPECT_EQ(c.status, completed) << op.name << ", failing request " << k << "\n"
                                           << c.error;
            EXPECT_EQ(c.error, "") << op.name << ", failing request " << k;
        }
    }
}

TEST(allocation_failure, a_long_file_read_on_two_threads_ends_as_documented) {
    // Enough short rows, in a file the stream can measure, for the second half to be read on a
    // thread of its own, whose requests fail as readily as the first half's.
    constexpr int rows = 70000;
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const std::vector<unsigned char> data = file_of_shape(rows, 3);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::fflush(f);
    const Operation op{
        "reading a long file of short rows",
        [f] {
            std::rewind(f);
            float **m = nullptr;
            float *rt = nullptr;
            float *ct = nullptr;
            int nr = 0;
            int nc = 0;
            if (fread_matrix(f, &m, &nr, &nc, &rt, &ct) == 0) {
                return Result::wrong;
            }
            bool ok = nr == rows && nc == 3;
            for (int i = 0; ok && i < nr; ++i) {
                ok = rt[i] == static_cast<float>(-i) && m[i][2] == static_cast<float>(3 * i + 2);
            }
            free_matrix(m, 0, nr - 1, 0, nc - 1);
            free_vector(rt, 0, nr - 1);
            free_vector(ct, 0, nc - 1);
            return check(ok);
        },
        texts({"out of memory for extend matrix", "out of memory for extend vector",
               "not enough memory to extend matrix", "out of memory for retract matrix",
               "out of memory for retract vector"})};
    const long n = requests_of(op);
    EXPECT_GT(n, rows);
    for (const long k :
         {1L, 2L, 3L, 4L, 5L, 100L, n / 4, n / 2, n / 2 + 1, 3 * n / 4, n - 2, n - 1, n}) {
        const Child for_good = run_in_child(op, k, -1);
        EXPECT_TRUE(documented(op, for_good) && for_good.status != completed)
            << "failing from request " << k << ": status " << for_good.status << "\n"
            << for_good.error;
        const Child once = run_in_child(op, k, 1);
        EXPECT_EQ(once.status, completed) << "failing request " << k << "\n" << once.error;
    }
    std::fclose(f);
}

} // namespace
