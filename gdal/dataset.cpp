#include "dataset.h"

#include "coordinates.h"

#include <binmat/geotransform.h>
#include <binmat/layout.h>

#include <cpl_string.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

namespace binmat_gdal {

namespace {

// Formats whose files other drivers own, by their first bytes: never claimed, whatever their
// length comes to.
bool owned_by_another(const GByte *head, int n) {
    using namespace std::string_view_literals;
    static constexpr std::string_view magic[] = {"II*\0"sv,
                                                 "MM\0*"sv,
                                                 "II+\0"sv,
                                                 "MM\0+"sv, // TIFF, BigTIFF
                                                 "CDF\x01"sv,
                                                 "CDF\x02"sv,
                                                 "CDF\x05"sv,           // NetCDF classic
                                                 "\x89HDF\r\n\x1a\n"sv, // HDF5, NetCDF-4
                                                 "\x89PNG"sv,
                                                 "\xff\xd8\xff"sv,
                                                 "GIF8"sv, // PNG, JPEG, GIF
                                                 "\x93NUMPY"sv,
                                                 "PK\x03\x04"sv,
                                                 "\x1f\x8b"sv,
                                                 "%PDF"sv, // .npy, zip, gzip, PDF
                                                 "<?xml"sv,
                                                 "SQLite format 3"sv,
                                                 "GRIB"sv,
                                                 "SIMPLE  ="sv};
    const std::string_view bytes(reinterpret_cast<const char *>(head), static_cast<std::size_t>(n));
    return std::any_of(std::begin(magic), std::end(magic),
                       [&](std::string_view m) { return bytes.starts_with(m); });
}

// The file's length, from the open handle.
std::optional<std::uint64_t> length_of(VSILFILE *f) {
    if (f == nullptr || VSIFSeekL(f, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const vsi_l_offset end = VSIFTellL(f);
    return static_cast<std::uint64_t>(end);
}

// Whether the file is whole in `order`: a column count that is a whole number of at least 1,
// and a length of exactly whole rows, nothing left over.
bool whole_in(const GByte *head, std::uint64_t length, binmat::byte_order order) {
    const float stored = binmat::stored_float(head, order);
    const binmat::layout l = binmat::layout_of(stored, length);
    return l.problem == binmat::defect::none && l.stray == 0 &&
           stored == static_cast<float>(l.columns);
}

// The order the file is read in, when it is one of ours: the one the BYTE_ORDER open option
// asks for, or little-endian when the file is whole that way, else big-endian.
std::optional<binmat::byte_order> order_of(GDALOpenInfo *info) {
    if (info->nHeaderBytes < 4 || info->fpL == nullptr ||
        owned_by_another(info->pabyHeader, info->nHeaderBytes)) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> length = length_of(info->fpL);
    if (!length) {
        return std::nullopt;
    }
    const char *asked = CSLFetchNameValue(info->papszOpenOptions, "BYTE_ORDER");
    std::optional<binmat::byte_order> order;
    for (const binmat::byte_order o : {binmat::byte_order::little, binmat::byte_order::big}) {
        const char *name = o == binmat::byte_order::little ? "LSB" : "MSB";
        if ((asked == nullptr || EQUAL(asked, name)) && whole_in(info->pabyHeader, *length, o)) {
            order = o;
            break;
        }
    }
    return order;
}

class band final : public GDALPamRasterBand {
  public:
    band(dataset *ds, int lines_per_block) {
        poDS = ds;
        nBand = 1;
        eDataType = GDT_Float32;
        nBlockXSize = ds->GetRasterXSize();
        nBlockYSize = lines_per_block;
    }

    double GetNoDataValue(int *success) override {
        if (success != nullptr) {
            *success = TRUE;
        }
        return std::numeric_limits<double>::quiet_NaN();
    }

  protected:
    CPLErr IReadBlock(int, int block, void *image) override {
        auto *ds = static_cast<dataset *>(poDS);
        const int first = block * nBlockYSize;
        const int count = std::min(nBlockYSize, nRasterYSize - first);
        auto *values = static_cast<float *>(image);
        // Lines past the raster's end, in the last block, are never shown.
        std::fill(values + static_cast<std::size_t>(count) * static_cast<std::size_t>(nBlockXSize),
                  values +
                      static_cast<std::size_t>(nBlockYSize) * static_cast<std::size_t>(nBlockXSize),
                  std::numeric_limits<float>::quiet_NaN());
        return ds->read_lines(first, count, values);
    }
};

} // namespace

int dataset::identify(GDALOpenInfo *info) { return order_of(info).has_value() ? TRUE : FALSE; }

GDALDataset *dataset::open(GDALOpenInfo *info) {
    const std::optional<binmat::byte_order> order = order_of(info);
    if (!order) {
        return nullptr;
    }
    if (info->eAccess == GA_Update) {
        CPLError(CE_Failure, CPLE_NotSupported,
                 "%s: binary matrix files are opened read-only; write a new one with "
                 "gdal_translate -of BINMAT",
                 info->pszFilename);
        return nullptr;
    }
    auto ds = std::unique_ptr<dataset>(new dataset());
    ds->file_ = info->fpL;
    info->fpL = nullptr;
    try {
        const std::uint64_t length = *length_of(ds->file_);
        const std::uint64_t head = binmat::head_bytes({info->pabyHeader, 4}, length, *order);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(head));
        if (VSIFSeekL(ds->file_, 0, SEEK_SET) != 0 ||
            VSIFReadL(bytes.data(), 1, bytes.size(), ds->file_) != bytes.size()) {
            CPLError(CE_Failure, CPLE_FileIO, "%s: cannot read its column coordinates",
                     info->pszFilename);
            return nullptr;
        }
        ds->header_ = binmat::parse_header(bytes, length, {*order});
        const binmat::header &h = ds->header_;
        if (h.rows > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
            CPLError(CE_Failure, CPLE_NotSupported, "%s: %llu rows are more than GDAL addresses",
                     info->pszFilename, static_cast<unsigned long long>(h.rows));
            return nullptr;
        }
        ds->nRasterXSize = static_cast<int>(h.columns());
        ds->nRasterYSize = static_cast<int>(h.rows);
        ds->north_up_ = CPLFetchBool(info->papszOpenOptions, "NORTH_UP", false);
        ds->columns_ = h.column_coordinates;
        // The row coordinates, one at the start of each row: from a local file by the library,
        // in two halves and without the values; from GDAL's virtual files through them.
        const char *name = info->pszFilename;
        if (!STARTS_WITH(name, "/vsi")) {
            ds->rows_ = binmat::read_row_coordinates(name, h);
        } else {
            ds->rows_.resize(static_cast<std::size_t>(h.rows));
            for (std::size_t i = 0; i < ds->rows_.size(); ++i) {
                unsigned char stored[4];
                if (VSIFSeekL(ds->file_, h.first_row_offset + i * h.row_bytes(), SEEK_SET) != 0 ||
                    VSIFReadL(stored, 1, 4, ds->file_) != 4) {
                    CPLError(CE_Failure, CPLE_FileIO, "%s: cannot read the coordinate of row %zu",
                             name, i);
                    return nullptr;
                }
                ds->rows_[i] = binmat::stored_float(stored, h.order);
            }
        }
        if (ds->north_up_) {
            std::reverse(ds->rows_.begin(), ds->rows_.end());
        }
    } catch (const std::exception &e) {
        CPLError(CE_Failure, CPLE_AppDefined, "%s: %s", info->pszFilename, e.what());
        return nullptr;
    }
    ds->transform_ = binmat::geotransform_of(ds->rows_, ds->columns_);
    // A block of whole lines, about 64 KiB of them.
    const std::uint64_t row_bytes = ds->header_.row_bytes();
    const int lines = static_cast<int>(std::clamp<std::uint64_t>(
        (std::uint64_t{1} << 16) / row_bytes, 1, static_cast<std::uint64_t>(ds->nRasterYSize)));
    ds->SetBand(1, new band(ds.get(), lines));
    ds->SetDescription(info->pszFilename);
    ds->TryLoadXML(info->GetSiblingFiles());
    ds->oOvManager.Initialize(ds.get(), info->pszFilename);
    return ds.release();
}

dataset::~dataset() {
    FlushCache(true);
    if (file_ != nullptr) {
        VSIFCloseL(file_);
    }
}

CPLErr dataset::read_lines(int first, int count, float *values) {
    const binmat::header &h = header_;
    const std::size_t columns = h.columns();
    const auto rows = static_cast<std::size_t>(count);
    // North-up, the lines are the file's rows from the last: a block is still a run of rows.
    const std::uint64_t row = north_up_ ? h.rows - static_cast<std::uint64_t>(first) - rows
                                        : static_cast<std::uint64_t>(first);
    const std::uint64_t row_bytes = h.row_bytes();
    try {
        scratch_.resize(static_cast<std::size_t>(rows * row_bytes));
        std::vector<float> coordinates(rows);
        if (VSIFSeekL(file_, h.first_row_offset + row * row_bytes, SEEK_SET) != 0 ||
            VSIFReadL(scratch_.data(), 1, scratch_.size(), file_) != scratch_.size()) {
            CPLError(CE_Failure, CPLE_FileIO, "%s: cannot read rows %llu to %llu", GetDescription(),
                     static_cast<unsigned long long>(row),
                     static_cast<unsigned long long>(row) + static_cast<unsigned long long>(rows));
            return CE_Failure;
        }
        binmat::decode_rows(scratch_, columns, h.order, coordinates, {values, rows * columns});
        if (north_up_) {
            for (std::size_t i = 0; i < rows / 2; ++i) {
                std::swap_ranges(values + i * columns, values + (i + 1) * columns,
                                 values + (rows - 1 - i) * columns);
            }
        }
    } catch (const std::exception &e) {
        CPLError(CE_Failure, CPLE_AppDefined, "%s: %s", GetDescription(), e.what());
        return CE_Failure;
    }
    return CE_None;
}

CPLErr dataset::GetGeoTransform(double *transform) {
    if (transform_) {
        std::copy(transform_->begin(), transform_->end(), transform);
        return CE_None;
    }
    return GDALPamDataset::GetGeoTransform(transform);
}

void dataset::make_metadata() {
    if (metadata_made_) {
        return;
    }
    metadata_made_ = true;
    const std::string rows = encode_coordinates(rows_);
    const std::string columns = encode_coordinates(columns_);
    const char *order = header_.order == binmat::byte_order::big ? "MSB" : "LSB";
    own_.SetNameValue(row_item, rows.c_str());
    own_.SetNameValue(column_item, columns.c_str());
    own_.SetNameValue("BYTE_ORDER", order);
    default_ = CPLStringList(CSLDuplicate(GDALPamDataset::GetMetadata("")));
    default_.SetNameValue((std::string(default_prefix) + row_item).c_str(), rows.c_str());
    default_.SetNameValue((std::string(default_prefix) + column_item).c_str(), columns.c_str());
}

char **dataset::GetMetadataDomainList() {
    return BuildMetadataDomainList(GDALPamDataset::GetMetadataDomainList(), TRUE, domain, "",
                                   nullptr);
}

char **dataset::GetMetadata(const char *domain_name) {
    if (domain_name != nullptr && EQUAL(domain_name, domain)) {
        make_metadata();
        return own_.List();
    }
    if (domain_name == nullptr || domain_name[0] == '\0') {
        make_metadata();
        return default_.List();
    }
    return GDALPamDataset::GetMetadata(domain_name);
}

const char *dataset::GetMetadataItem(const char *name, const char *domain_name) {
    if (domain_name == nullptr || domain_name[0] == '\0' || EQUAL(domain_name, domain)) {
        return CSLFetchNameValue(GetMetadata(domain_name), name);
    }
    return GDALPamDataset::GetMetadataItem(name, domain_name);
}

} // namespace binmat_gdal
