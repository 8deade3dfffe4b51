// The GDAL driver's identify and open paths on bytes from strangers, as GDAL hands them over:
// either the bytes are refused, or a dataset opens whose geotransform, metadata and every block
// can be read. Never a crash, a hang or an allocation the bytes do not back.
#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <gdal_alg.h>

#include <cstdint>
#include <cstdlib>

extern "C" void GDALRegister_BINMAT();

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool registered = [] {
        GDALRegister_BINMAT();
        CPLSetErrorHandler(CPLQuietErrorHandler);
        return true;
    }();
    (void)registered;
    const char *name = "/vsimem/fuzz";
    VSIFCloseL(VSIFileFromMemBuffer(name, const_cast<GByte *>(data),
                                    static_cast<vsi_l_offset>(size), FALSE));
    const char *const drivers[] = {"BINMAT", nullptr};
    const char *const little[] = {"BYTE_ORDER=LSB", nullptr};
    const char *const north_up[] = {"BYTE_ORDER=MSB", "NORTH_UP=YES", nullptr};
    for (const char *const *options :
         {static_cast<const char *const *>(nullptr), little, north_up}) {
        GDALDatasetH ds = GDALOpenEx(name, GDAL_OF_RASTER, drivers, options, nullptr);
        if (ds == nullptr) {
            continue;
        }
        double transform[6];
        (void)GDALGetGeoTransform(ds, transform);
        (void)GDALGetMetadata(ds, "BINMAT");
        (void)GDALGetMetadata(ds, nullptr);
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        if (band == nullptr || GDALGetRasterCount(ds) != 1) {
            std::abort();
        }
        (void)GDALChecksumImage(band, 0, 0, GDALGetRasterXSize(ds), GDALGetRasterYSize(ds));
        GDALClose(ds);
    }
    VSIUnlink(name);
    return 0;
}
