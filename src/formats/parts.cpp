#include <binmat/formats/parts.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#ifndef BINMAT_INSTALLED_PARTS
#error "BINMAT_INSTALLED_PARTS comes from the build"
#endif
#ifndef BINMAT_BUILT_PARTS
#error "BINMAT_BUILT_PARTS comes from the build"
#endif

namespace binmat {

std::string part_path(const std::string &name) {
    namespace fs = std::filesystem;
    if (const char *dir = std::getenv("BINMAT_LIBEXEC_DIR"); dir != nullptr && *dir != '\0') {
        return (fs::path(dir) / name).string();
    }
    std::vector<fs::path> places;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        places.push_back(self.parent_path() / name);
        places.push_back(self.parent_path().parent_path() / "libexec" / "binmat" / name);
    }
    places.push_back(fs::path(BINMAT_INSTALLED_PARTS) / name);
    places.push_back(fs::path(BINMAT_BUILT_PARTS) / name);
    for (const fs::path &p : places) {
        if (fs::is_regular_file(p, ec)) {
            return p.string();
        }
    }
    return places.front().string();
}

} // namespace binmat
