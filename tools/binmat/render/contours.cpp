#include "contours.h"

#include <array>
#include <cmath>

namespace plot {

std::vector<segment> isolines(std::span<const float> values, std::size_t width, std::size_t height,
                              std::span<const double> levels) {
    std::vector<segment> out;
    struct point {
        double x, y;
    };
    for (std::size_t r = 0; r + 1 < height; ++r) {
        for (std::size_t c = 0; c + 1 < width; ++c) {
            // The square's corners clockwise from its top left, and where each edge runs to.
            const std::array<double, 4> v = {values[r * width + c], values[r * width + c + 1],
                                             values[(r + 1) * width + c + 1],
                                             values[(r + 1) * width + c]};
            if (!std::isfinite(v[0] + v[1] + v[2] + v[3])) {
                continue;
            }
            const double x = static_cast<double>(c) + 0.5;
            const double y = static_cast<double>(r) + 0.5;
            const std::array<point, 4> corner = {point{x, y}, point{x + 1, y}, point{x + 1, y + 1},
                                                 point{x, y + 1}};
            for (const double level : levels) {
                // Where the level crosses each edge (top, right, bottom, left), in that order.
                std::array<point, 4> crossing{};
                std::size_t n = 0;
                for (std::size_t e = 0; e < 4; ++e) {
                    const double a = v[e];
                    const double b = v[(e + 1) % 4];
                    if ((a > level) != (b > level)) {
                        const double t = (level - a) / (b - a);
                        const point p = corner[e];
                        const point q = corner[(e + 1) % 4];
                        crossing[n++] = {p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)};
                    }
                }
                if (n == 2) {
                    out.push_back({crossing[0].x, crossing[0].y, crossing[1].x, crossing[1].y});
                } else if (n == 4) {
                    // A saddle: the centre's side says which corners the lines cut off.
                    const bool centre_above = (v[0] + v[1] + v[2] + v[3]) / 4 > level;
                    const std::size_t first = centre_above == (v[0] > level) ? 0 : 3;
                    for (std::size_t k = 0; k < 4; k += 2) {
                        const point &p = crossing[(first + k) % 4];
                        const point &q = crossing[(first + k + 1) % 4];
                        out.push_back({p.x, p.y, q.x, q.y});
                    }
                }
            }
        }
    }
    return out;
}

} // namespace plot
