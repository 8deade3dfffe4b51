// binmat convert's NetCDF directions against the plainest way to put the same bytes on disk: the
// 4096 x 4096 grid (about 64 MB, warm in the page cache) written from one buffer with one
// write(); converted to NetCDF (read, then written) and back (NetCDF decoded by the helper, then
// the file written), from values stored whole (mapped where they lie) and from values compressed
// in chunks (decoded into shared memory). Outputs are not synced, as the baseline is not. Each
// direction in-process, as the library runs it, and back as a whole `binmat convert` process, as
// a user runs it. Run in the release preset; see docs/PERFORMANCE.md.
#include "scratch.h"

#include <binmat/binmat.h>
#include <binmat/formats/netcdf.h>
#include <binmat/mapped.h>

#include <benchmark/benchmark.h>

#include <netcdf.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

std::size_t side() { return 4096 / bench_scale(); }

// The same values as NetCDF-4 with z compressed in chunks, as many producers write it.
void write_deflated(const fs::path &path, const binmat::grid &g) {
    int id = 0;
    int dims[2] = {0, 0};
    int x = 0;
    int y = 0;
    int z = 0;
    const std::size_t chunks[2] = {std::min<std::size_t>(256, g.rows()),
                                   std::min<std::size_t>(256, g.columns())};
    if (nc_create(path.c_str(), NC_CLOBBER | NC_NETCDF4, &id) != NC_NOERR ||
        nc_def_dim(id, "x", g.rows(), &dims[0]) != NC_NOERR ||
        nc_def_dim(id, "y", g.columns(), &dims[1]) != NC_NOERR ||
        nc_def_var(id, "x", NC_FLOAT, 1, &dims[0], &x) != NC_NOERR ||
        nc_def_var(id, "y", NC_FLOAT, 1, &dims[1], &y) != NC_NOERR ||
        nc_def_var(id, "z", NC_FLOAT, 2, dims, &z) != NC_NOERR ||
        nc_def_var_chunking(id, z, NC_CHUNKED, chunks) != NC_NOERR ||
        nc_def_var_deflate(id, z, 1, 1, 1) != NC_NOERR || nc_enddef(id) != NC_NOERR ||
        nc_put_var_float(id, x, g.row_coordinates.data()) != NC_NOERR ||
        nc_put_var_float(id, y, g.column_coordinates.data()) != NC_NOERR ||
        nc_put_var_float(id, z, g.values.data()) != NC_NOERR || nc_close(id) != NC_NOERR) {
        std::abort();
    }
}

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
        binmat::write_file(dir / "square", g, {binmat::byte_order::little, false});
        binmat::output_file nc(dir / "square.nc", {false, {}});
        binmat::write_netcdf(nc, g, {});
        nc.commit();
        write_deflated(dir / "deflated.nc", g);
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
    const binmat::mapped_grid source(directory() / "square");
    binmat::output_file out(directory() / "out.nc", {false, {}});
    binmat::write_netcdf(out, source, {});
    out.commit();
}

void from_netcdf(const char *name) {
    binmat::read_netcdf(directory() / name, {}, [](const binmat::grid_view &g) {
        binmat::write_file(directory() / "back", g, {binmat::byte_order::little, false});
    });
}
void from_stored() { from_netcdf("square.nc"); }
void from_deflated() { from_netcdf("deflated.nc"); }

// `binmat convert NAME back --to binmat --no-sync`, a process of its own.
void convert_process(const char *name) {
    const std::string input = (directory() / name).string();
    const std::string output = (directory() / "back").string();
    const char *argv[] = {BINMAT_EXE, "convert", input.c_str(), output.c_str(),
                          "--to",     "binmat",  "--no-sync",   nullptr};
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawn(&pid, BINMAT_EXE, nullptr, nullptr, const_cast<char **>(argv), environ) !=
            0 ||
        ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::abort();
    }
}
void process_from_stored() { convert_process("square.nc"); }
void process_from_deflated() { convert_process("deflated.nc"); }

// Each target removed first, so that no step pays for truncating the last one's file.
double timed(void (*step)(), const char *target) {
    std::error_code ignored;
    fs::remove(directory() / target, ignored);
    const auto start = clock_type::now();
    step();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void run(benchmark::State &state, void (*step)(), const char *target) {
    for (auto _ : state) {
        timed(step, target);
    }
}

struct subject {
    const char *name;
    void (*step)();
    const char *target;
};

// All in every iteration, so that the machine's changing load falls on all alike: the counters
// are the medians of each one's time over the baseline's.
void over_write(benchmark::State &state, const std::vector<subject> &subjects) {
    std::vector<std::vector<double>> ratios(subjects.size());
    for (auto _ : state) {
        const double base = timed(one_buffer_write, "baseline");
        for (std::size_t i = 0; i < subjects.size(); ++i) {
            ratios[i].push_back(timed(subjects[i].step, subjects[i].target) / base);
        }
    }
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        std::sort(ratios[i].begin(), ratios[i].end());
        state.counters[subjects[i].name] = ratios[i][ratios[i].size() / 2];
    }
}

// Values stored whole, and the way out; values compressed in chunks take ten times longer to
// decode, and are paired apart.
void netcdf_over_write(benchmark::State &state) {
    over_write(state, {{"to_netcdf", to_netcdf, "out.nc"},
                       {"from_stored", from_stored, "back"},
                       {"process_from_stored", process_from_stored, "back"}});
}
void deflated_over_write(benchmark::State &state) {
    over_write(state, {{"from_deflated", from_deflated, "back"},
                       {"process_from_deflated", process_from_deflated, "back"}});
}

BENCHMARK_CAPTURE(run, one_buffer_write, one_buffer_write, "baseline")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, to_netcdf, to_netcdf, "out.nc")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, from_stored, from_stored, "back")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, from_deflated, from_deflated, "back")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, process_from_stored, process_from_stored, "back")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, process_from_deflated, process_from_deflated, "back")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(netcdf_over_write)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(deflated_over_write)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

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
