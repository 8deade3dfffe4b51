// Both interfaces' readers and writers against the least their jobs need: one fread of the whole
// file into one buffer, one fwrite of one buffer. Each shape is about 64 MB; the files sit in a
// temporary directory, warm in the page cache. Run in the release preset; see docs/PERFORMANCE.md.
#include <binmat/alloc.h>
#include <binmat/binary.h>
#include <binmat/binmat.h>

#include "scratch.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Shape {
    const char *name;
    int rows;
    int columns;
};

const std::vector<Shape> &shapes() {
    static const std::vector<Shape> all = [] {
        const auto k = static_cast<int>(bench_scale());
        return std::vector<Shape>{{"square", 4096 / k, 4096 / k},
                                  {"wide", 64, 262144 / (k * k)},
                                  {"tall", 4000000 / (k * k), 3}};
    }();
    return all;
}

fs::path scratch() {
    static const fs::path dir = new_scratch_directory("binmat-bench");
    return dir;
}

struct Matrix {
    float **m;
    float *rt;
    float *ct;
};

Matrix make_matrix(const Shape &s) {
    Matrix x{matrix(0, s.rows - 1, 0, s.columns - 1), vector(0, s.rows - 1),
             vector(0, s.columns - 1)};
    for (int j = 0; j < s.columns; ++j) {
        x.ct[j] = static_cast<float>(j) * 0.25F;
    }
    for (int i = 0; i < s.rows; ++i) {
        x.rt[i] = static_cast<float>(i);
        for (int j = 0; j < s.columns; ++j) {
            x.m[i][j] = static_cast<float>(i ^ j);
        }
    }
    return x;
}

void free_made(const Shape &s, Matrix &x) {
    free_matrix(x.m, 0, s.rows - 1, 0, s.columns - 1);
    free_vector(x.rt, 0, s.rows - 1);
    free_vector(x.ct, 0, s.columns - 1);
}

std::size_t file_bytes(const Shape &s) {
    return 4 * (static_cast<std::size_t>(s.rows) + 1) * (static_cast<std::size_t>(s.columns) + 1);
}

// The shape's file, written once.
std::string input_file(const Shape &s) {
    const fs::path path = scratch() / (std::string(s.name) + ".bin");
    if (!fs::exists(path)) {
        Matrix x = make_matrix(s);
        FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr ||
            fwrite_matrix(f, x.m, 0, s.rows - 1, 0, s.columns - 1, x.rt, x.ct) != 1 ||
            std::fclose(f) != 0) {
            std::abort();
        }
        free_made(s, x);
    }
    return path.string();
}

// The shape's file with every float's bytes reversed, as a big-endian machine writes it.
std::string big_endian_file(const Shape &s) {
    const fs::path path = scratch() / (std::string(s.name) + ".big");
    if (!fs::exists(path)) {
        binmat::write_file(path, binmat::read_file(input_file(s)), {binmat::byte_order::big});
    }
    return path.string();
}

// Seconds per iteration of each repetition of a baseline, by shape.
std::map<std::string, std::vector<double>> baseline_seconds;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void report(benchmark::State &state, const Shape &s, double seconds, const std::string &baseline) {
    const auto iterations = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(file_bytes(s)) * state.iterations());
    if (baseline.empty()) {
        return;
    }
    const double base = median(baseline_seconds[baseline]);
    if (base > 0) {
        state.counters["ratio_to_baseline"] = seconds / iterations / base;
    }
}

void BM_read_baseline(benchmark::State &state, const Shape &s) {
    const std::string path = input_file(s);
    const std::size_t n = file_bytes(s);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        FILE *f = std::fopen(path.c_str(), "rb");
        auto *buffer = static_cast<unsigned char *>(std::malloc(n));
        const std::size_t got = std::fread(buffer, 1, n, f);
        benchmark::DoNotOptimize(buffer);
        std::free(buffer);
        std::fclose(f);
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (got != n) {
            state.SkipWithError("short read");
        }
    }
    baseline_seconds[std::string("read/") + s.name].push_back(
        seconds / static_cast<double>(state.iterations()));
    report(state, s, seconds, "");
}

// Every row's coordinate alone, what opening a grid lazily reads: one pread each, against the
// library's batched reads.
void BM_row_coordinates_baseline(benchmark::State &state, const Shape &s) {
    const std::string path = input_file(s);
    const std::uint64_t row_bytes = 4 * (static_cast<std::uint64_t>(s.columns) + 1);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::vector<float> coordinates(static_cast<std::size_t>(s.rows));
        bool whole = fd >= 0;
        for (std::size_t i = 0; whole && i < coordinates.size(); ++i) {
            whole = ::pread(fd, &coordinates[i], 4, static_cast<off_t>(row_bytes * (i + 1))) == 4;
        }
        benchmark::DoNotOptimize(coordinates.data());
        ::close(fd);
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (!whole) {
            state.SkipWithError("short read");
        }
    }
    baseline_seconds[std::string("row_coordinates/") + s.name].push_back(
        seconds / static_cast<double>(state.iterations()));
}

void BM_read_row_coordinates(benchmark::State &state, const Shape &s) {
    const std::string path = input_file(s);
    const binmat::header h = binmat::read_header(path);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const std::vector<float> coordinates = binmat::read_row_coordinates(path, h);
        benchmark::DoNotOptimize(coordinates.data());
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
    }
    const double base = median(baseline_seconds[std::string("row_coordinates/") + s.name]);
    if (base > 0) {
        state.counters["ratio_to_baseline"] =
            seconds / static_cast<double>(state.iterations()) / base;
    }
}

void BM_fread_matrix(benchmark::State &state, const Shape &s) {
    const std::string path = input_file(s);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        FILE *f = std::fopen(path.c_str(), "rb");
        float **m = nullptr;
        float *rt = nullptr;
        float *ct = nullptr;
        int nr = 0;
        int nc = 0;
        const TBOOLEAN ok = fread_matrix(f, &m, &nr, &nc, &rt, &ct);
        benchmark::DoNotOptimize(m);
        if (ok == 1) {
            free_matrix(m, 0, nr - 1, 0, nc - 1);
            free_vector(rt, 0, nr - 1);
            free_vector(ct, 0, nc - 1);
        }
        std::fclose(f);
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (ok != 1 || nr != s.rows || nc != s.columns) {
            state.SkipWithError("fread_matrix did not read the file back");
        }
    }
    report(state, s, seconds, std::string("read/") + s.name);
}

void BM_read_file(benchmark::State &state, const Shape &s, binmat::byte_order order) {
    const std::string path = order == binmat::byte_order::big ? big_endian_file(s) : input_file(s);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const binmat::grid g = binmat::read_file(path, {order});
        benchmark::DoNotOptimize(g.values.data());
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (g.rows() != static_cast<std::size_t>(s.rows) ||
            g.columns() != static_cast<std::size_t>(s.columns)) {
            state.SkipWithError("read_file did not read the file back");
        }
    }
    report(state, s, seconds, std::string("read/") + s.name);
}

// What any reader must spend on the storage alone: one block per row (callers free and resize
// rows one by one), the row-pointer block and the title vectors, taken and released, with no I/O.
void BM_row_storage_floor(benchmark::State &state, const Shape &s) {
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        float **m = matrix(0, s.rows - 1, 0, s.columns - 1);
        float *rt = vector(0, s.rows - 1);
        float *ct = vector(0, s.columns - 1);
        for (int i = 0; i < s.rows; ++i) {
            m[i][0] = rt[i] = static_cast<float>(i);
        }
        ct[0] = 0;
        benchmark::DoNotOptimize(m);
        free_matrix(m, 0, s.rows - 1, 0, s.columns - 1);
        free_vector(rt, 0, s.rows - 1);
        free_vector(ct, 0, s.columns - 1);
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
    }
    report(state, s, seconds, std::string("read/") + s.name);
}

enum class writing { over, replace, replace_synced };

// One fwrite of one buffer: over the old file (truncating it), or, as a file that must never be
// seen half-written is replaced, into a new file renamed over the old one; and that durably, the
// new file synced before the rename and the directory after, as write_file does by default.
void BM_write_baseline(benchmark::State &state, const Shape &s, writing how) {
    const std::string path = (scratch() / (std::string(s.name) + ".out")).string();
    const std::string temporary = path + ".tmp";
    const std::size_t n = file_bytes(s);
    std::vector<unsigned char> data(n, 0x3F);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        FILE *f = std::fopen(how == writing::over ? path.c_str() : temporary.c_str(), "wb");
        const std::size_t put = std::fwrite(data.data(), 1, n, f);
        if (how == writing::replace_synced) {
            std::fflush(f);
            ::fdatasync(::fileno(f));
        }
        std::fclose(f);
        if (how != writing::over) {
            std::rename(temporary.c_str(), path.c_str());
        }
        if (how == writing::replace_synced) {
            const int dir = ::open(scratch().c_str(), O_RDONLY | O_DIRECTORY);
            ::fsync(dir);
            ::close(dir);
        }
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (put != n) {
            state.SkipWithError("short write");
        }
    }
    const char *kind = how == writing::over      ? "write/"
                       : how == writing::replace ? "replace/"
                                                 : "replace_synced/";
    baseline_seconds[kind + std::string(s.name)].push_back(seconds /
                                                           static_cast<double>(state.iterations()));
    report(state, s, seconds, "");
}

void BM_fwrite_matrix(benchmark::State &state, const Shape &s) {
    const std::string path = (scratch() / (std::string(s.name) + ".out")).string();
    Matrix x = make_matrix(s);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        FILE *f = std::fopen(path.c_str(), "wb");
        const TBOOLEAN ok = fwrite_matrix(f, x.m, 0, s.rows - 1, 0, s.columns - 1, x.rt, x.ct);
        std::fclose(f);
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (ok != 1) {
            state.SkipWithError("fwrite_matrix failed");
        }
    }
    free_made(s, x);
    report(state, s, seconds, std::string("write/") + s.name);
}

// write_file synced (the default) against the synced replace, and not against the plain one.
void BM_write_file(benchmark::State &state, const Shape &s, bool sync) {
    const std::string path = (scratch() / (std::string(s.name) + ".out")).string();
    const binmat::grid g = binmat::read_file(input_file(s));
    binmat::write_options options;
    options.sync = sync;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        binmat::write_file(path, g, options);
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
    }
    report(state, s, seconds, std::string("write/") + s.name);
    const double replace =
        median(baseline_seconds[std::string(sync ? "replace_synced/" : "replace/") + s.name]);
    if (replace > 0) {
        state.counters["ratio_to_replace_baseline"] =
            seconds / static_cast<double>(state.iterations()) / replace;
    }
}

// Peak resident memory of a fresh process that reads the file once, less that of one that does
// not, against the file's size. The process is this program, started again with --peak-read.
long peak_kib_of(const std::string &mode, const std::string &path) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/proc/self/exe", "io_benchmark", mode.c_str(), path.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

int peak_child(const std::string &mode, const char *path) {
    if (mode == "--peak-idle") {
        return 0;
    }
    if (mode == "--peak-read-file") {
        return binmat::read_file(path).rows() > 0 ? 0 : 1;
    }
    FILE *f = std::fopen(path, "rb");
    float **m = nullptr;
    float *rt = nullptr;
    float *ct = nullptr;
    int nr = 0;
    int nc = 0;
    return f != nullptr && fread_matrix(f, &m, &nr, &nc, &rt, &ct) == 1 ? 0 : 1;
}

void BM_peak_memory(benchmark::State &state, const Shape &s, const std::string &mode) {
    const std::string path = input_file(s);
    long peak_kib = 0;
    long idle_kib = 0;
    for (auto _ : state) {
        peak_kib = peak_kib_of(mode, path);
        idle_kib = peak_kib_of("--peak-idle", path);
    }
    if (peak_kib < 0 || idle_kib < 0) {
        state.SkipWithError("the measuring process failed");
        return;
    }
    const double file_mb = static_cast<double>(file_bytes(s)) / 1e6;
    const double peak_mb = static_cast<double>(peak_kib - idle_kib) * 1024 / 1e6;
    state.counters["file_MB"] = file_mb;
    state.counters["peak_MB"] = peak_mb;
    state.counters["peak_over_file"] = peak_mb / file_mb;
}

void register_all() {
    for (const Shape &s : shapes()) {
        const std::string shape = s.name;
        benchmark::RegisterBenchmark(("read_baseline/" + shape).c_str(), BM_read_baseline, s)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("fread_matrix/" + shape).c_str(), BM_fread_matrix, s)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("read_file/" + shape).c_str(), BM_read_file, s,
                                     binmat::byte_order::little)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("read_file_big_endian/" + shape).c_str(), BM_read_file, s,
                                     binmat::byte_order::big)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        // Short rows' coordinates are read with their rows, a block at a time: no baseline of
        // one call per row there.
        if (shape != "tall") {
            benchmark::RegisterBenchmark(("row_coordinates_baseline/" + shape).c_str(),
                                         BM_row_coordinates_baseline, s)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("read_row_coordinates/" + shape).c_str(),
                                         BM_read_row_coordinates, s)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("row_storage_floor/" + shape).c_str(), BM_row_storage_floor,
                                     s)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("write_baseline/" + shape).c_str(), BM_write_baseline, s,
                                     writing::over)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("replace_baseline/" + shape).c_str(), BM_write_baseline, s,
                                     writing::replace)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("replace_synced_baseline/" + shape).c_str(),
                                     BM_write_baseline, s, writing::replace_synced)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("fwrite_matrix/" + shape).c_str(), BM_fwrite_matrix, s)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("write_file_no_sync/" + shape).c_str(), BM_write_file, s,
                                     false)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("write_file/" + shape).c_str(), BM_write_file, s, true)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("fread_matrix_peak_memory/" + shape).c_str(), BM_peak_memory,
                                     s, std::string("--peak-read"))
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("read_file_peak_memory/" + shape).c_str(), BM_peak_memory, s,
                                     std::string("--peak-read-file"))
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]).rfind("--peak-", 0) == 0) {
        return peak_child(argv[1], argv[2]);
    }
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(scratch());
    return 0;
}
