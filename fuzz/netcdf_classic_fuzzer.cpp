// NetCDF classic headers from strangers, checked before netCDF-C sees the file: the check never
// crashes or reads outside the bytes, and it is consistent with the file's length. A file it
// passes still passes with more bytes after it; one cut short of what its header declares is
// refused, naming both sizes.
#include "classic.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::span<const unsigned char> file(data, size);
    const std::string problem = binmat::classic_problem(file);
    if (!binmat::is_netcdf_classic(file)) {
        if (!problem.empty()) {
            std::abort(); // only classic files are judged
        }
        return 0;
    }
    if (!problem.empty() && problem.find("a NetCDF classic file cut short") != 0) {
        std::abort();
    }
    if (problem.empty()) {
        std::vector<unsigned char> longer(file.begin(), file.end());
        longer.resize(size + 64);
        if (!binmat::classic_problem(longer).empty()) {
            std::abort();
        }
    } else if (problem.find(std::to_string(size)) == std::string::npos) {
        std::abort(); // the file's own size is named
    }
    return 0;
}
