// The command's side: the module loaded once, when the first picture is drawn, and kept (cairo
// and fontconfig must not be unloaded under their own state).
#include "engine.h"

#include <binmat/formats/parts.h>

#include <atomic>
#include <dlfcn.h>
#include <string>

namespace plot {

namespace {

std::atomic<bool> loaded{false};

const engine *load() {
    const std::string path = binmat::part_path("binmat-picture.so");
    // Bound lazily: of the thousands of functions cairo and its libraries hold, a picture calls
    // few.
    void *module = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (module == nullptr) {
        throw picture_error(std::string("cannot load the picture engine: ") + ::dlerror());
    }
    void *entry = ::dlsym(module, "binmat_picture_engine");
    const engine *e = entry != nullptr ? reinterpret_cast<const engine *(*)()>(entry)() : nullptr;
    if (e == nullptr || e->version != engine_version) {
        throw picture_error("the picture engine " + path + " is not this binmat's");
    }
    loaded = true;
    return e;
}

} // namespace

const engine &picture_engine() {
    static const engine *const e = load();
    return *e;
}

bool picture_engine_loaded() { return loaded; }

} // namespace plot
