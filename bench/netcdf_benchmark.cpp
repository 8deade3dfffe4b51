// binmat convert's NetCDF directions against the plainest way to put the same bytes on disk: the
// 4096 x 4096 grid (about 64 MB, warm in the page cache) written from one buffer with one
// write(); converted to NetCDF (read, then written) and back (NetCDF read, then the file written)
// as binmat convert does. Run in the release preset; see docs/PERFORMANCE.md.
#include "netcdf_file.h"
#include "scratch.h"

#include <binmat/binmat.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

std::size_t side() { return 4096 / bench_scale(); }

const fs::path &directory() {
    static const fs::path path = [] {
        fs::path dir = new_scratch_directory("binmat-netcdf");
        const std::size_t n = side();
        binmat::grid g;
        g.row_coordinates.resize(n);
        g.column_coordinates.resize(n);
        g.values.resize(n * n);
        for (std::size_t i = 0; i < n; ++i) {
            g.row_coordinates[i] = static_cast<float>(i) / static_cast<float>(n);
            g.column_coordinates[i] = g.row_coordinates[i];
        }
        for (std::size_t k = 0; k < n * n; ++k) {
            g.values[k] = static_cast<float>(std::sin(0.001 * static_cast<double>(k)));
        }
        binmat::write_file(dir / "square", g);
        cli::output_file nc((dir / "square.nc").string(), {}, false);
        cli::write_netcdf(nc, g, {});
        nc.commit();
        return dir;
    }();
    return path;
}

// The file's bytes, once, for the baseline to write.
const std::vector<char> &square_bytes() {
    static const std::vector<char> bytes = [] {
        std::ifstream in(directory() / "square", std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

void one_buffer_write() {
    const fs::path target = directory() / "baseline";
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::vector<char> &b = square_bytes();
    if (fd < 0 || ::write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size())) {
        std::abort();
    }
    ::close(fd);
}

void to_netcdf() {
    const cli::mapped_grid source((directory() / "square").string(), binmat::byte_order::little);
    cli::output_file out((directory() / "out.nc").string(), {}, false);
    cli::write_netcdf(out, source, {});
    out.commit();
}

void from_netcdf() {
    cli::read_netcdf((directory() / "square.nc").string(), "", [](const binmat::grid_view &g) {
        binmat::write_file(directory() / "back", g);
    });
}

// Each target removed first, so that no step pays for truncating the last one's file.
double timed(void (*step)(), const char *target) {
    std::error_code ignored;
    fs::remove(directory() / target, ignored);
    const auto start = clock_type::now();
    step();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void one_buffer_write_square(benchmark::State &state) {
    for (auto _ : state) {
        timed(one_buffer_write, "baseline");
    }
}

void to_netcdf_square(benchmark::State &state) {
    for (auto _ : state) {
        timed(to_netcdf, "out.nc");
    }
}

void from_netcdf_square(benchmark::State &state) {
    for (auto _ : state) {
        timed(from_netcdf, "back");
    }
}

// The three in every iteration, so that the machine's changing load falls on all alike: the
// counters are the medians of each direction's time over the baseline's.
void netcdf_over_write(benchmark::State &state) {
    std::vector<double> out;
    std::vector<double> in;
    for (auto _ : state) {
        const double base = timed(one_buffer_write, "baseline");
        out.push_back(timed(to_netcdf, "out.nc") / base);
        in.push_back(timed(from_netcdf, "back") / base);
    }
    for (auto *ratios : {&out, &in}) {
        std::sort(ratios->begin(), ratios->end());
    }
    state.counters["to_netcdf"] = out[out.size() / 2];
    state.counters["from_netcdf"] = in[in.size() / 2];
}

BENCHMARK(one_buffer_write_square)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(to_netcdf_square)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(from_netcdf_square)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(netcdf_over_write)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    (void)square_bytes(); // the files are written before any timing starts
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(directory(), ignored);
    return 0;
}
