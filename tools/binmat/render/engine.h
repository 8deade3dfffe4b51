// The picture engine as a module of its own, loaded when the first picture is drawn: cairo,
// fontconfig, FreeType and libpng, and the many libraries under them, are loaded only by the
// commands that draw. Its one entry point hands over the engine's functions.
#pragma once

#include "picture.h"

#include <cstdio>

namespace plot {

struct engine {
    int version; // engine_version, so that a module of another build is refused
    picture_layout (*plan)(const surface &g, const picture_options &o);
    void (*draw)(const surface &g, const picture_options &o, FILE *out);
    void (*release)();
};

inline constexpr int engine_version = 2;

// The engine, loaded on first use from the module binmat-picture.so (where binmat's parts lie,
// <binmat/formats/parts.h>); throws picture_error when it cannot be loaded. What it throws
// passes through as thrown.
const engine &picture_engine();

// Whether the engine has been loaded, so that its caches can be released only then.
bool picture_engine_loaded();

} // namespace plot

extern "C" const plot::engine *binmat_picture_engine();
