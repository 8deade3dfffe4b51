// Any one-band GDAL dataset written as a binary matrix file, through binmat's output routine: the
// file appears only once complete, synced unless SYNC=NO, and nothing is left if the copy fails
// or is interrupted.
#include "coordinates.h"
#include "dataset.h"

#include <binmat/geotransform.h>
#include <binmat/layout.h>

#include <cpl_string.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace binmat_gdal {

namespace {

// The coordinates the source carries for its `count` lines or pixels, when it came from a binmat
// file: the driver's own domain first, then its items in the default domain (where tools that
// copy only that domain, gdal_translate among them, carry them).
std::optional<std::vector<float>> carried(GDALDataset *source, const char *item,
                                          std::size_t count) {
    const char *text = source->GetMetadataItem(item, domain);
    if (text == nullptr) {
        text = source->GetMetadataItem((std::string(default_prefix) + item).c_str(), "");
    }
    return text != nullptr ? decode_coordinates(text, count) : std::nullopt;
}

bool close(double a, double b) {
    return std::fabs(a - b) <= 1e-6 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

// Whether coordinates carried along still describe the raster: a tool that moved or cut it
// (gdal_edit, gdalwarp) leaves the old ones behind, which the geotransform then contradicts.
bool still_hold(const std::vector<float> &rows, const std::vector<float> &columns,
                const std::optional<binmat::geotransform> &transform) {
    const std::optional<binmat::geotransform> theirs = binmat::geotransform_of(rows, columns);
    if (!transform || !theirs) {
        return !transform && !theirs;
    }
    for (std::size_t k = 0; k < 6; ++k) {
        if (!close((*transform)[k], (*theirs)[k])) {
            return false;
        }
    }
    return true;
}

std::vector<float> indices(std::size_t count) {
    std::vector<float> v(count);
    for (std::size_t i = 0; i < count; ++i) {
        v[i] = static_cast<float>(i);
    }
    return v;
}

} // namespace

GDALDataset *create_copy(const char *filename, GDALDataset *source, int, char **options,
                         GDALProgressFunc progress, void *progress_data) {
    if (source->GetRasterCount() != 1) {
        CPLError(CE_Failure, CPLE_NotSupported,
                 "%s has %d bands; a binary matrix file holds one: choose it with "
                 "gdal_translate -b N",
                 source->GetDescription(), source->GetRasterCount());
        return nullptr;
    }
    const auto width = static_cast<std::size_t>(source->GetRasterXSize());
    const auto height = static_cast<std::size_t>(source->GetRasterYSize());
    if (width == 0 || height == 0 || !binmat::storable_column_count(width)) {
        CPLError(CE_Failure, CPLE_NotSupported,
                 "%s is %zu x %zu pixels; a binary matrix file holds at least one row, and "
                 "keeps its column count as a float, which must hold it exactly",
                 source->GetDescription(), width, height);
        return nullptr;
    }
    std::optional<binmat::geotransform> transform;
    binmat::geotransform gt{};
    if (source->GetGeoTransform(gt.data()) == CE_None) {
        if (gt[2] != 0 || gt[4] != 0) {
            CPLError(CE_Failure, CPLE_NotSupported,
                     "%s is rotated; binary matrix coordinates follow the rows and columns: "
                     "warp it north-up first (gdalwarp)",
                     source->GetDescription());
            return nullptr;
        }
        transform = gt;
    }
    std::vector<float> rows;
    std::vector<float> columns;
    const auto carried_rows = carried(source, row_item, height);
    const auto carried_columns = carried(source, column_item, width);
    if (carried_rows && carried_columns && still_hold(*carried_rows, *carried_columns, transform)) {
        rows = *carried_rows;
        columns = *carried_columns;
    } else if (transform) {
        // The centres of the cells.
        rows = binmat::cell_centres(gt[3], gt[5], height);
        columns = binmat::cell_centres(gt[0], gt[1], width);
    } else {
        rows = indices(height);
        columns = indices(width);
    }
    const char *order = CSLFetchNameValueDef(options, "BYTE_ORDER", "LSB");
    if (!EQUAL(order, "LSB") && !EQUAL(order, "MSB")) {
        CPLError(CE_Failure, CPLE_IllegalArg, "BYTE_ORDER=%s: it is LSB or MSB", order);
        return nullptr;
    }
    binmat::write_options w;
    w.order = EQUAL(order, "MSB") ? binmat::byte_order::big : binmat::byte_order::little;
    w.sync = CPLFetchBool(options, "SYNC", true);
    GDALRasterBand *band = source->GetRasterBand(1);
    int has_nodata = FALSE;
    const double nodata = band->GetNoDataValue(&has_nodata);
    const bool replace = has_nodata != FALSE && !std::isnan(nodata);
    const auto missing = static_cast<float>(nodata);
    try {
        binmat::row_writer out(std::filesystem::path(filename), columns, w);
        // About a megabyte of lines at a time.
        const std::size_t per_read =
            std::clamp<std::size_t>((std::size_t{1} << 18) / width, 1, height);
        std::vector<float> values(per_read * width);
        for (std::size_t first = 0; first < height; first += per_read) {
            const std::size_t count = std::min(per_read, height - first);
            if (band->RasterIO(GF_Read, 0, static_cast<int>(first), static_cast<int>(width),
                               static_cast<int>(count), values.data(), static_cast<int>(width),
                               static_cast<int>(count), GDT_Float32, 0, 0, nullptr) != CE_None) {
                return nullptr; // GDAL has said why
            }
            for (std::size_t i = 0; i < count; ++i) {
                const std::span<float> line(values.data() + i * width, width);
                if (replace) {
                    std::replace(line.begin(), line.end(), missing,
                                 std::numeric_limits<float>::quiet_NaN());
                }
                out.put(rows[first + i], line);
            }
            if (progress != nullptr &&
                progress(static_cast<double>(first + count) / static_cast<double>(height), nullptr,
                         progress_data) == FALSE) {
                CPLError(CE_Failure, CPLE_UserInterrupt, "interrupted: nothing was written");
                return nullptr;
            }
        }
        out.finish();
    } catch (const std::exception &e) {
        CPLError(CE_Failure, CPLE_FileIO, "%s: %s", filename, e.what());
        return nullptr;
    }
    const char *const drivers[] = {"BINMAT", nullptr};
    const char *const open_options[] = {
        w.order == binmat::byte_order::big ? "BYTE_ORDER=MSB" : "BYTE_ORDER=LSB", nullptr};
    return GDALDataset::Open(filename, GDAL_OF_RASTER, drivers, open_options, nullptr);
}

} // namespace binmat_gdal
