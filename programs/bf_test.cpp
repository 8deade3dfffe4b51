#include "bf_test.h"

#include <binmat/alloc.h>
#include <binmat/binary.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: bf_test.cpp binmat $";

} // namespace

const range TheRange[3] = {
    {-3.0F, 3.0F, -2.0F, 2.0F},
    {-3.0F, 3.0F, -3.0F, 3.0F},
    {-3.0F, 3.0F, -3.0F, 3.0F},
};

float function(int p, double x, double y) {
    const double r2 = x * x + y * y;
    float t = 0;
    switch (p) {
    case 0:
        t = static_cast<float>(1 / (r2 + 1));
        break;
    case 1:
        // sin(r2)/r2 tends to 1 at the origin.
        t = r2 == 0 ? 1.0F : static_cast<float>(std::sin(r2) / r2);
        break;
    case 2:
        if (r2 == 0) {
            return 1.0F;
        }
        t = static_cast<float>(std::sin(r2) / r2);
        t = static_cast<float>(t * (std::sin(4 * r2) / (4 * r2)));
        break;
    default:
        std::fprintf(stderr, "Unknown function\n");
        return 0;
    }
    return t > 1 ? 1.0F : t;
}

void int_error(const char *error_text, int /*dummy*/) {
    std::fprintf(stderr, "Fatal error..\n%s\n...now exiting to system ...\n", error_text);
    std::exit(1);
}

// The generator has nothing it could give back.
void FreeHelp() {}

// The driver; the generator's tests link the routines above without it.
#ifndef BF_TEST_NO_MAIN
namespace {

// The step is a double while the running coordinates are floats: readers are tested against
// exactly the rounding errors that this accumulation produces.
constexpr double step = 0.2;
constexpr float points_per_unit = 5.0F;
constexpr float fencepost = 1.0F;

float advance(float coordinate) { return static_cast<float>(coordinate + step); }

int grid_size(float low, float high) {
    return static_cast<int>((static_cast<double>(high) - static_cast<double>(low)) *
                                static_cast<double>(points_per_unit) +
                            static_cast<double>(fencepost));
}

// binary3 stores its coordinates doubled on the positive side, so its grid is not uniform.
float title_of(int plot, float coordinate) {
    return plot == 2 && coordinate > 0 ? 2 * coordinate : coordinate;
}

void write_plot(int plot) {
    const range &r = TheRange[plot];
    const int xsize = grid_size(r.xmin, r.xmax);
    const int ysize = grid_size(r.ymin, r.ymax);

    float *rt = vector(0, xsize - 1);
    float *ct = vector(0, ysize - 1);
    float **m = matrix(0, xsize - 1, 0, ysize - 1);

    float y = r.ymin;
    for (int j = 0; j < ysize; ++j) {
        ct[j] = title_of(plot, y);
        y = advance(y);
    }
    float x = r.xmin;
    for (int i = 0; i < xsize; ++i) {
        rt[i] = title_of(plot, x);
        y = r.ymin;
        for (int j = 0; j < ysize; ++j) {
            m[i][j] = function(plot, x, y);
            y = advance(y);
        }
        x = advance(x);
    }

    char buf[256];
    std::snprintf(buf, sizeof buf, "binary%d", plot + 1);
    FILE *fout = std::fopen(buf, "wb");
    if (fout == nullptr) {
        free_vector(rt, 0, xsize - 1);
        free_vector(ct, 0, ysize - 1);
        free_matrix(m, 0, xsize - 1, 0, ysize - 1);
        int_error("Could not open file", 0);
    }
    const TBOOLEAN written = fwrite_matrix(fout, m, 0, xsize - 1, 0, ysize - 1, rt, ct);
    free_vector(rt, 0, xsize - 1);
    free_vector(ct, 0, ysize - 1);
    free_matrix(m, 0, xsize - 1, 0, ysize - 1);
    // Closing here, not at exit, is what reveals a full disk before the run reports success.
    const int closed = std::fclose(fout);
    if (written == 0 || closed != 0) {
        int_error("Could not write file", 0);
    }
}

} // namespace

int main() {
    for (int plot = 0; plot < 3; ++plot) {
        write_plot(plot);
    }
    std::exit(0);
}
#endif
