// binmat vrt: a GDAL virtual raster that describes a binary matrix file where it lies, for a GDAL
// installation without binmat's driver.
#include "commands.h"
#include "output.h"

#include <binmat/geotransform.h>
#include <binmat/mapped.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace cli {

namespace {

struct options {
    std::string file;
    std::string output;
    bool no_sync = false;
    binmat::byte_order order = binmat::byte_order::little;
};

std::string escaped(const std::string &text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// The data file as the virtual raster names it: relative to the raster's own directory when it
// has one, so that the two can move together.
std::string source_name(const options &o, bool &relative) {
    namespace fs = std::filesystem;
    const fs::path data = fs::absolute(o.file).lexically_normal();
    relative = o.output != "-";
    if (!relative) {
        return data.string();
    }
    return data.lexically_relative(fs::absolute(o.output).parent_path()).string();
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

int run(const options &o) {
    if (o.file == "-") {
        throw usage_error("a virtual raster describes a file where it lies: name the file, not -");
    }
    output_file out(o.output, {o.file}, !o.no_sync);
    const binmat::mapped_grid grid =
        reading(o.file, [&] { return binmat::mapped_grid(o.file, {o.order}); });
    const binmat::header &h = grid.header();
    if (h.stray != 0) {
        refuse(o.file, "stray bytes follow its last row, which GDAL's rasters do not allow for: "
                       "binmat salvage keeps the rows alone");
    }
    std::string text = "<VRTDataset rasterXSize=\"" + std::to_string(h.columns()) +
                       "\" rasterYSize=\"" + std::to_string(h.rows) + "\">\n";
    if (const auto t = binmat::geotransform_of(grid.row_coordinates(), h.column_coordinates)) {
        text += "  <GeoTransform>";
        for (std::size_t k = 0; k < t->size(); ++k) {
            text += (k > 0 ? ", " : "") + number((*t)[k]);
        }
        text += "</GeoTransform>\n";
    }
    bool relative = true;
    const std::string source = source_name(o, relative);
    text += "  <VRTRasterBand dataType=\"Float32\" band=\"1\" subClass=\"VRTRawRasterBand\">\n"
            "    <NoDataValue>nan</NoDataValue>\n"
            "    <SourceFilename relativeToVRT=\"" +
            std::string(relative ? "1" : "0") + "\">" + escaped(source) +
            "</SourceFilename>\n"
            "    <ImageOffset>" +
            std::to_string(h.first_row_offset + 4) +
            "</ImageOffset>\n"
            "    <PixelOffset>4</PixelOffset>\n"
            "    <LineOffset>" +
            std::to_string(h.row_bytes()) +
            "</LineOffset>\n"
            "    <ByteOrder>" +
            (h.order == binmat::byte_order::big ? "MSB" : "LSB") +
            "</ByteOrder>\n"
            "  </VRTRasterBand>\n"
            "</VRTDataset>\n";
    out.write([&](binmat::output_file &f) {
        if (std::fwrite(text.data(), 1, text.size(), f.stream()) != text.size()) {
            throw std::system_error(errno != 0 ? errno : EIO, std::generic_category());
        }
    });
    out.commit();
    return status_ok;
}

} // namespace

subcommand add_vrt(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub =
        app.add_subcommand("vrt", "a GDAL virtual raster of a file, for GDAL without binmat's");
    sub->add_option("FILE", o->file, "a binary matrix file")->required();
    sub->add_option("-o,--output", o->output,
                    "the virtual raster to write (FILE.vrt); - for "
                    "standard output")
        ->required();
    add_byte_order(*sub, o->order, true);
    add_no_sync(*sub, o->no_sync);
    sub->footer(R"(Writes a GDAL virtual raster (.vrt) that describes the values where the file
holds them: one Float32 band, a line per row, NaN as nodata, and a
geotransform when both axes are evenly spaced. QGIS and every GDAL program open
it without binmat's driver. The file is named relative to the virtual raster,
so the two can move together.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
