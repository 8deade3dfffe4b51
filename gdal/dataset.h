// A binary matrix file as a GDAL dataset: one Float32 band, a line per row in file order (or the
// last row first, north-up), NaN as nodata, a geotransform when both axes are evenly spaced, and
// the exact coordinates in the driver's metadata domain. What GDAL's auxiliary files hold (a CRS,
// statistics) persists beside the file.
#pragma once

#include <binmat/binmat.h>
#include <binmat/geotransform.h>

#include <gdal_pam.h>

#include <optional>
#include <string>
#include <vector>

namespace binmat_gdal {

class dataset final : public GDALPamDataset {
  public:
    // The file GDAL opened, if it is one of ours; null otherwise, with a CPLError saying why when
    // it looked like one but cannot be read.
    static GDALDataset *open(GDALOpenInfo *info);
    // Whether the bytes are a whole file in either byte order (the one asked for, when asked).
    static int identify(GDALOpenInfo *info);

    ~dataset() override;

    CPLErr GetGeoTransform(double *transform) override;
    char **GetMetadataDomainList() override;
    char **GetMetadata(const char *domain_name) override;
    const char *GetMetadataItem(const char *name, const char *domain_name) override;

    // Reads lines [first, first + count) as presented into `values` (count * columns floats).
    CPLErr read_lines(int first, int count, float *values);

    const binmat::header &header() const { return header_; }

  private:
    dataset() = default;
    // The BINMAT items, made when first asked for.
    void make_metadata();

    VSILFILE *file_ = nullptr;
    binmat::header header_;
    bool north_up_ = false;
    std::vector<float> rows_; // in the order the lines are presented
    std::vector<float> columns_;
    std::optional<binmat::geotransform> transform_;
    std::vector<unsigned char> scratch_;
    bool metadata_made_ = false;
    CPLStringList own_;     // the BINMAT domain
    CPLStringList default_; // the default domain, with the BINMAT_ items
};

// Writes any one-band GDAL dataset as a binary matrix file through binmat's output routine.
GDALDataset *create_copy(const char *filename, GDALDataset *source, int strict, char **options,
                         GDALProgressFunc progress, void *progress_data);

} // namespace binmat_gdal
