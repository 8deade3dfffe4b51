// The modern interface when memory runs out: every request it makes is refused in turn, and each
// time it must throw std::bad_alloc, keep nothing, and leave no file behind.
#include <binmat/binmat.h>

#include "support/bytes.h"
#include "support/heap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <new>

namespace {

namespace fs = std::filesystem;
using binmat::byte_order;
using Bytes = std::vector<unsigned char>;

binmat::grid grid_of(std::size_t rows, std::size_t columns) {
    binmat::grid g;
    g.column_coordinates.assign(columns, 1.5F);
    g.row_coordinates.assign(rows, 2.5F);
    g.values.assign(rows * columns, 3.5F);
    return g;
}

Bytes file_of(const binmat::grid &g, byte_order order = byte_order::little) {
    FILE *f = std::tmpfile();
    binmat::write(f, g, {order});
    Bytes b = bytes::of_stream(f);
    std::fclose(f);
    return b;
}

// A stream over bytes that can neither seek nor tell its position, as a pipe.
struct unseekable {
    Bytes data;
    std::size_t at = 0;
    FILE *open() {
        at = 0;
        cookie_io_functions_t io{};
        io.read = [](void *cookie, char *buf, std::size_t size) -> ssize_t {
            auto *self = static_cast<unseekable *>(cookie);
            const std::size_t n = std::min(size, self->data.size() - self->at);
            std::memcpy(buf, self->data.data() + self->at, n);
            self->at += n;
            return static_cast<ssize_t>(n);
        };
        return fopencookie(this, "rb", io);
    }
};

// Runs op once to count its requests, then once for each with that request refused (alone, and
// with every later one), expecting std::bad_alloc and a balanced heap each time.
void refuse_each_request(const std::string &name, const std::function<void()> &op) {
    heap::watch_containers(true);
    heap::watch();
    op();
    heap::unwatch();
    const long requests = heap::requests();
    ASSERT_GT(requests, 0) << name;
    for (long k = 1; k <= requests; ++k) {
        for (long count : {1L, -1L}) {
            heap::watch(k, count);
            bool threw = false;
            try {
                op();
            } catch (const std::bad_alloc &) {
                threw = true;
            }
            heap::unwatch();
            EXPECT_TRUE(threw) << name << ": request " << k << " refused";
            EXPECT_EQ(heap::acquired(), heap::released()) << name << ": request " << k;
        }
    }
    heap::watch_containers(false);
}

TEST(grid_allocation, every_request_of_every_operation_may_fail) {
    const Bytes tall = file_of(grid_of(3000, 3));
    const Bytes wide = file_of(grid_of(2, 70000)); // rows longer than the staging block
    const Bytes big = file_of(grid_of(40, 5), byte_order::big);
    const fs::path dir = fs::temp_directory_path() / ("binmat-alloc-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const binmat::grid small = grid_of(30, 4);

    for (const Bytes *data : {&tall, &wide}) {
        FILE *f = bytes::stream_of(*data);
        refuse_each_request("read from a file", [&] {
            std::rewind(f);
            (void)binmat::read(f);
        });
        std::fclose(f);
    }
    refuse_each_request("read from memory, detected", [&] {
        (void)binmat::read(std::as_bytes(std::span(big)), {byte_order::detect});
    });
    unseekable pipe{big};
    refuse_each_request("read from a pipe, detected", [&] {
        FILE *f = pipe.open();
        try {
            (void)binmat::read(f, {byte_order::detect});
        } catch (...) {
            std::fclose(f);
            throw;
        }
        std::fclose(f);
    });
    unseekable headed{tall};
    refuse_each_request("read_header from a pipe", [&] {
        FILE *f = headed.open();
        try {
            (void)binmat::read_header(f);
        } catch (...) {
            std::fclose(f);
            throw;
        }
        std::fclose(f);
    });
    FILE *rows = bytes::stream_of(wide);
    refuse_each_request("row_reader", [&] {
        std::rewind(rows);
        binmat::row_reader r(rows);
        std::vector<float> values(r.columns());
        float coordinate = 0;
        while (r.next(coordinate, values)) {
        }
    });
    std::fclose(rows);
    FILE *out = std::tmpfile();
    refuse_each_request("write", [&] {
        std::rewind(out);
        binmat::write(out, small, {byte_order::big});
    });
    std::fclose(out);
    // The output's name is made before the requests are counted, and removed without one, so
    // that every refusal falls on write_file itself.
    const fs::path out_path = dir / "out";
    refuse_each_request("write_file", [&] {
        try {
            binmat::write_file(out_path, small);
        } catch (const std::bad_alloc &) {
            EXPECT_TRUE(fs::is_empty(dir)) << "a temporary file was left behind";
            throw;
        }
        ::unlink(out_path.c_str());
    });
    fs::remove_all(dir);
}

TEST(grid_allocation, a_count_the_bytes_cannot_back_up_commits_next_to_nothing) {
    // Four bytes that claim 500 million columns, and a header that claims a million rows of them.
    const Bytes lying = bytes::of_floats({5e8F});
    const Bytes short_rows = bytes::of_floats({1000000, 1, 2, 3});
    for (const Bytes *data : {&lying, static_cast<const Bytes *>(&short_rows)}) {
        unseekable pipe{*data};
        FILE *streams[] = {bytes::stream_of(*data), pipe.open()};
        for (FILE *f : streams) {
            heap::watch_containers(true);
            heap::watch();
            EXPECT_THROW((void)binmat::read(f), binmat::format_error);
            heap::unwatch();
            heap::watch_containers(false);
            EXPECT_LE(heap::largest_request(), 64U * 1024U) << data->size() << " bytes";
            EXPECT_EQ(heap::acquired(), heap::released());
            std::fclose(f);
        }
    }
}

} // namespace
