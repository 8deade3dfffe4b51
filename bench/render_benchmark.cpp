// binmat render's drawing against reading the grid it draws: the 4096 x 4096 grid (about 64 MB,
// warm in the page cache) read with binmat::read_file, and read then drawn as an 800 x 600 PNG
// into memory. Run in the release preset; see docs/PERFORMANCE.md.
#include "picture.h"
#include "scratch.h"

#include <binmat/binmat.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::size_t side() { return 4096 / bench_scale(); }

// A smooth surface with fine ripples, so that the picture is neither flat nor noise.
const fs::path &square_file() {
    static const fs::path path = [] {
        const fs::path dir = new_scratch_directory("binmat-render");
        const std::size_t n = side();
        binmat::grid g;
        g.row_coordinates.resize(n);
        g.column_coordinates.resize(n);
        g.values.resize(n * n);
        for (std::size_t i = 0; i < n; ++i) {
            g.row_coordinates[i] = static_cast<float>(i) / static_cast<float>(n);
            g.column_coordinates[i] = g.row_coordinates[i];
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const double x = g.row_coordinates[i];
                const double y = g.column_coordinates[j];
                g.values[i * n + j] =
                    static_cast<float>(std::sin(6 * x) * std::cos(4 * y) + 0.1 * std::sin(900 * x));
            }
        }
        fs::path p = dir / "square";
        binmat::write_file(p, g);
        return p;
    }();
    return path;
}

void read_square(benchmark::State &state) {
    for (auto _ : state) {
        binmat::grid g = binmat::read_file(square_file());
        benchmark::DoNotOptimize(g.values.data());
    }
}

void render(const fs::path &file) {
    plot::picture_options o;
    o.width = 800;
    o.height = 600;
    o.title = "square";
    char *data = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    const binmat::grid g = binmat::read_file(file);
    plot::draw_picture(g, o, out);
    std::fclose(out);
    benchmark::DoNotOptimize(data);
    std::free(data);
}

void render_square(benchmark::State &state) {
    for (auto _ : state) {
        render(square_file());
    }
}

// A read and a render in every iteration, so that the machine's changing load falls on both
// alike: the counter is the median of their ratios.
void render_over_read(benchmark::State &state) {
    using clock = std::chrono::steady_clock;
    std::vector<double> ratios;
    for (auto _ : state) {
        const auto start = clock::now();
        {
            const binmat::grid g = binmat::read_file(square_file());
            benchmark::DoNotOptimize(g.values.data());
        }
        const auto read = clock::now();
        render(square_file());
        const auto end = clock::now();
        ratios.push_back(std::chrono::duration<double>(end - read).count() /
                         std::chrono::duration<double>(read - start).count());
    }
    std::sort(ratios.begin(), ratios.end());
    state.counters["ratio"] = ratios[ratios.size() / 2];
}

BENCHMARK(read_square)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(render_square)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(render_over_read)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    const fs::path &file = square_file(); // written before any timing starts
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(file.parent_path(), ignored);
    return 0;
}
