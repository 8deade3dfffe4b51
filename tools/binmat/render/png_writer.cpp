#include "png_writer.h"

#include "picture_error.h"

#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace plot {

namespace {

// The image's rows as RGB bytes; cairo keeps each pixel as a native 0x00RRGGBB word.
std::vector<png_byte> rgb_rows(cairo_surface_t *image) {
    cairo_surface_flush(image);
    const auto width = static_cast<std::size_t>(cairo_image_surface_get_width(image));
    const auto height = static_cast<std::size_t>(cairo_image_surface_get_height(image));
    const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(image));
    const unsigned char *data = cairo_image_surface_get_data(image);
    std::vector<png_byte> rgb(width * height * 3);
    for (std::size_t y = 0; y < height; ++y) {
        png_byte *to = rgb.data() + y * width * 3;
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t p = 0;
            std::memcpy(&p, data + y * stride + x * 4, sizeof p);
            to[3 * x] = static_cast<png_byte>(p >> 16);
            to[3 * x + 1] = static_cast<png_byte>(p >> 8);
            to[3 * x + 2] = static_cast<png_byte>(p);
        }
    }
    return rgb;
}

// libpng ends a failed write by longjmp: this runs it with nothing that has a destructor on the
// way, and says whether it got through and, when not, whether the stream failed.
bool encode(png_structp png, png_infop info, FILE *out, std::vector<png_bytep> &rows,
            png_uint_32 width, bool &stream_failed) {
    if (setjmp(png_jmpbuf(png)) != 0) { // NOLINT(cert-err52-cpp)
        stream_failed = std::ferror(out) != 0;
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, width, static_cast<png_uint_32>(rows.size()), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // A picture is mostly flat white and cells many pixels wide or tall: after the Up filter
    // that is long runs of zeros, which run-length compression takes at a fraction of the time
    // of trying every filter and searching for matches, for a file a little larger.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    return true;
}

} // namespace

void write_png(cairo_surface_t *image, FILE *out) {
    std::vector<png_byte> rgb = rgb_rows(image);
    const auto width = static_cast<png_uint_32>(cairo_image_surface_get_width(image));
    std::vector<png_bytep> rows(static_cast<std::size_t>(cairo_image_surface_get_height(image)));
    for (std::size_t y = 0; y < rows.size(); ++y) {
        rows[y] = rgb.data() + y * width * 3;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        throw picture_error("cannot start the PNG encoder");
    }
    bool stream_failed = false;
    errno = 0;
    const bool written = encode(png, info, out, rows, width, stream_failed);
    const int error = errno;
    png_destroy_write_struct(&png, &info);
    if (stream_failed) {
        throw std::system_error(error != 0 ? error : EIO, std::generic_category(), "writing PNG");
    }
    if (!written) {
        throw picture_error("cannot encode the PNG image");
    }
}

} // namespace plot
