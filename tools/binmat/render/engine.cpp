// The module's side: the engine's functions, handed over by its entry point.
#include "engine.h"

extern "C" const plot::engine *binmat_picture_engine() {
    static const plot::engine e{plot::engine_version, plot::plan_picture, plot::draw_picture,
                                plot::release_drawing_caches};
    return &e;
}
