// Runs a fuzz target over saved inputs without libFuzzer: each argument is a file, or a directory
// whose files are all run. Used by the test suite to keep every input that ever failed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replay(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    int runs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path path = argv[i];
        if (fs::is_directory(path)) {
            for (const auto &entry : fs::directory_iterator(path)) {
                if (entry.is_regular_file() && entry.path().filename() != ".gitkeep") {
                    ok = replay(entry.path()) && ok;
                    ++runs;
                }
            }
        } else {
            ok = replay(path) && ok;
            ++runs;
        }
    }
    std::printf("replayed %d inputs\n", runs);
    return ok ? 0 : 1;
}
