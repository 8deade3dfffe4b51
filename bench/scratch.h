// What the benchmarks share: a divisor for quick runs, and a directory for their files.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// BINMAT_BENCH_SCALE divides each size, for a quick run (CI uses a tiny one); 1 to 4095.
inline std::size_t bench_scale() {
    const char *s = std::getenv("BINMAT_BENCH_SCALE");
    const long k = s != nullptr ? std::strtol(s, nullptr, 10) : 1;
    return static_cast<std::size_t>(k > 0 && k < 4096 ? k : 1);
}

// A new directory in the system's temporary one, its name starting with `prefix`.
inline std::filesystem::path new_scratch_directory(const char *prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    return pattern;
}
