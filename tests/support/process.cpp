#include "process.h"

#include "bytes.h"

#include <cstdlib>
#include <sys/wait.h>
#include <vector>

namespace process {

namespace fs = std::filesystem;

fs::path fresh_directory() {
    std::string pattern = (fs::temp_directory_path() / "binmat-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

namespace {

std::string take(const fs::path &p) {
    const std::vector<unsigned char> data = bytes::of_file(p.string());
    fs::remove(p);
    return {data.begin(), data.end()};
}

} // namespace

Outcome shell(const fs::path &dir, const std::string &line) {
    const std::string command =
        "cd '" + dir.string() + "' && { " + line + " ; } > stdout.txt 2> stderr.txt";
    const int raw = std::system(command.c_str());
    Outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, take(dir / "stdout.txt"),
              take(dir / "stderr.txt")};
    return o;
}

} // namespace process
