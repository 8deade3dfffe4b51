#include <binmat/axis.h>
#include <binmat/geotransform.h>

namespace binmat {

namespace {

// The first edge and the step of an axis, when it has them.
std::optional<std::array<double, 2>> edge_and_step(std::span<const float> coordinates) {
    if (coordinates.size() < 2) {
        return std::nullopt;
    }
    const axis_summary a = summarize_axis(coordinates);
    if (!a.uniform || a.step == 0) {
        return std::nullopt;
    }
    return std::array<double, 2>{static_cast<double>(a.first) - a.step / 2, a.step};
}

} // namespace

std::optional<geotransform> geotransform_of(std::span<const float> row_coordinates,
                                            std::span<const float> column_coordinates) {
    const auto x = edge_and_step(column_coordinates);
    const auto y = edge_and_step(row_coordinates);
    if (!x || !y) {
        return std::nullopt;
    }
    return geotransform{(*x)[0], (*x)[1], 0, (*y)[0], 0, (*y)[1]};
}

std::vector<float> cell_centres(double origin, double step, std::size_t count) {
    std::vector<float> centres(count);
    for (std::size_t i = 0; i < count; ++i) {
        centres[i] = static_cast<float>(origin + (static_cast<double>(i) + 0.5) * step);
    }
    return centres;
}

} // namespace binmat
