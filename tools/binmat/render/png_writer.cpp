#include "png_writer.h"

#include "picture_error.h"

#include <libdeflate.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

namespace plot {

namespace {

// What each scanline is filtered with: the difference from the line above. A picture is mostly
// flat white and cells many pixels tall, which that turns into long runs of zeros.
constexpr unsigned char filter_up = 2;

// libdeflate's level: its fast levels compress pictures both smaller and faster than zlib does
// at any level, and what differs between them is a few percent of size.
constexpr int compression_level = 3;

void put_u32(std::vector<unsigned char> &out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(v >> shift));
    }
}

// A chunk: its length, type, data and the CRC of type and data.
void put_chunk(std::vector<unsigned char> &out, std::string_view type, const unsigned char *data,
               std::size_t size) {
    put_u32(out, static_cast<std::uint32_t>(size));
    const std::size_t start = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data, data + size);
    put_u32(out, libdeflate_crc32(0, out.data() + start, out.size() - start));
}

// The image's scanlines, each its filter byte and its RGB bytes less those of the line above;
// cairo keeps each pixel as a native 0x00RRGGBB word.
std::vector<unsigned char> filtered_scanlines(cairo_surface_t *image) {
    const auto width = static_cast<std::size_t>(cairo_image_surface_get_width(image));
    const auto height = static_cast<std::size_t>(cairo_image_surface_get_height(image));
    const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(image));
    const unsigned char *data = cairo_image_surface_get_data(image);
    const std::size_t line = 1 + 3 * width;
    std::vector<unsigned char> out(line * height);
    std::vector<unsigned char> above(3 * width, 0);
    std::vector<unsigned char> here(3 * width);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t p = 0;
            std::memcpy(&p, data + y * stride + 4 * x, sizeof p);
            here[3 * x] = static_cast<unsigned char>(p >> 16);
            here[3 * x + 1] = static_cast<unsigned char>(p >> 8);
            here[3 * x + 2] = static_cast<unsigned char>(p);
        }
        unsigned char *to = out.data() + y * line;
        to[0] = filter_up;
        for (std::size_t k = 0; k < here.size(); ++k) {
            to[1 + k] = static_cast<unsigned char>(here[k] - above[k]);
        }
        above.swap(here);
    }
    return out;
}

struct compressor_deleter {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

} // namespace

void write_png(cairo_surface_t *image, FILE *out, std::optional<double> dpi) {
    cairo_surface_flush(image);
    const std::vector<unsigned char> scanlines = filtered_scanlines(image);
    const std::unique_ptr<libdeflate_compressor, compressor_deleter> compressor(
        libdeflate_alloc_compressor(compression_level));
    if (!compressor) {
        throw picture_error("cannot start the PNG encoder");
    }
    std::vector<unsigned char> compressed(
        libdeflate_zlib_compress_bound(compressor.get(), scanlines.size()));
    const std::size_t size = libdeflate_zlib_compress(
        compressor.get(), scanlines.data(), scanlines.size(), compressed.data(), compressed.size());
    if (size == 0) {
        throw picture_error("cannot encode the PNG image");
    }
    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png.reserve(size + 64);
    std::vector<unsigned char> header;
    put_u32(header, static_cast<std::uint32_t>(cairo_image_surface_get_width(image)));
    put_u32(header, static_cast<std::uint32_t>(cairo_image_surface_get_height(image)));
    // 8 bits a sample, RGB, deflate, adaptive filtering, no interlacing.
    header.insert(header.end(), {8, 2, 0, 0, 0});
    put_chunk(png, "IHDR", header.data(), header.size());
    if (dpi) {
        // Pixels per metre, the same across and down.
        const auto per_metre = static_cast<std::uint32_t>(std::lround(*dpi / 0.0254));
        std::vector<unsigned char> physical;
        put_u32(physical, per_metre);
        put_u32(physical, per_metre);
        physical.push_back(1);
        put_chunk(png, "pHYs", physical.data(), physical.size());
    }
    put_chunk(png, "IDAT", compressed.data(), size);
    put_chunk(png, "IEND", nullptr, 0);
    errno = 0;
    if (std::fwrite(png.data(), 1, png.size(), out) != png.size()) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "writing PNG");
    }
}

} // namespace plot
