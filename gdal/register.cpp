// The plugin's entry point: GDAL calls GDALRegister_BINMAT when it loads gdal_BINMAT.so from its
// plugin directory (or GDAL_DRIVER_PATH).
#include "dataset.h"

#include <gdal_priv.h>

extern "C" void GDALRegister_BINMAT() {
    if (!GDAL_CHECK_VERSION("BINMAT") || GDALGetDriverByName("BINMAT") != nullptr) {
        return;
    }
    auto *driver = new GDALDriver();
    driver->SetDescription("BINMAT");
    driver->SetMetadataItem(GDAL_DCAP_RASTER, "YES");
    driver->SetMetadataItem(GDAL_DMD_LONGNAME, "Binary matrix grid (binmat)");
    driver->SetMetadataItem(GDAL_DCAP_VIRTUALIO, "YES");
    driver->SetMetadataItem(GDAL_DMD_CREATIONDATATYPES, "Float32");
    driver->SetMetadataItem(
        GDAL_DMD_OPENOPTIONLIST,
        "<OpenOptionList>"
        "  <Option name='BYTE_ORDER' type='string-select' description='The byte order of the "
        "floats, when the file is whole in both'>"
        "    <Value>LSB</Value><Value>MSB</Value>"
        "  </Option>"
        "  <Option name='NORTH_UP' type='boolean' default='NO' description='Show the last row "
        "first, with a negative Y step'/>"
        "</OpenOptionList>");
    driver->SetMetadataItem(
        GDAL_DMD_CREATIONOPTIONLIST,
        "<CreationOptionList>"
        "  <Option name='BYTE_ORDER' type='string-select' default='LSB' description='The byte "
        "order to write'>"
        "    <Value>LSB</Value><Value>MSB</Value>"
        "  </Option>"
        "  <Option name='SYNC' type='boolean' default='YES' description='Wait for the file to "
        "reach the disk before it takes its name'/>"
        "</CreationOptionList>");
    driver->pfnIdentify = binmat_gdal::dataset::identify;
    driver->pfnOpen = binmat_gdal::dataset::open;
    driver->pfnCreateCopy = binmat_gdal::create_copy;
    GetGDALDriverManager()->RegisterDriver(driver);
}
