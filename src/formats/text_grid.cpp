#include <binmat/formats/text_grid.h>

#include "line_reader.h"

#include <binmat/formats/error.h>
#include <binmat/formats/number_text.h>
#include <binmat/formats/quote.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace binmat {

namespace {

constexpr std::string_view separators = " \t,\r\n\f\v";
constexpr std::string_view stray_prefix = "# stray bytes:";

[[noreturn]] void fail(long line, const std::string &why) {
    throw conversion_error(why, {static_cast<std::uint64_t>(line), std::nullopt, {}});
}

std::string count_of(std::size_t n, const char *singular, const char *plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// The numbers of one line, up to a '#'; false with the offending word or reason in `bad`.
bool numbers_of(std::string_view line, std::vector<float> &out, std::string &bad) {
    out.clear();
    const std::size_t hash = line.find('#');
    if (hash != std::string_view::npos) {
        line = line.substr(0, hash);
    }
    std::size_t i = 0;
    while (i < line.size()) {
        if (separators.find(line[i]) != std::string_view::npos) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < line.size() && separators.find(line[end]) == std::string_view::npos) {
            ++end;
        }
        const std::string_view word = line.substr(i, end - i);
        float v = 0;
        switch (parse_float(word, v)) {
        case number::ok:
            break;
        case number::out_of_range:
            bad = binmat::quoted(word) + " is out of single-precision range";
            return false;
        case number::not_a_number:
            bad = binmat::quoted(word) + " is not a number";
            return false;
        }
        out.push_back(v);
        i = end;
    }
    return true;
}

// The bytes of a "# stray bytes:" line: one to three, each two hex digits.
bool stray_bytes_of(std::string_view line, std::vector<unsigned char> &stray) {
    line.remove_prefix(stray_prefix.size());
    std::vector<unsigned char> bytes;
    while (!line.empty()) {
        if (separators.find(line.front()) != std::string_view::npos) {
            line.remove_prefix(1);
            continue;
        }
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value, 16);
        const auto used = static_cast<std::size_t>(end - line.data());
        if (ec != std::errc() || used != 2) {
            return false;
        }
        bytes.push_back(static_cast<unsigned char>(value));
        line.remove_prefix(used);
    }
    if (bytes.empty() || bytes.size() > 3) {
        return false;
    }
    stray = bytes;
    return true;
}

// Replaces the first four bytes that pass through it: the writer stores the count of the columns
// it writes, while a file whose stored count is not whole (2.9 for 2 columns) keeps its own.
struct header_patch {
    FILE *out;
    unsigned char head[4];
    std::uint64_t written;
};

ssize_t write_patched(void *cookie, const char *buf, std::size_t size) {
    auto *p = static_cast<header_patch *>(cookie);
    std::vector<char> copy;
    const char *data = buf;
    if (p->written < 4) {
        copy.assign(buf, buf + size);
        for (std::uint64_t k = p->written; k < 4 && k - p->written < size; ++k) {
            copy[k - p->written] = static_cast<char>(p->head[k]);
        }
        data = copy.data();
    }
    const std::size_t n = std::fwrite(data, 1, size, p->out);
    p->written += n;
    return n == size ? static_cast<ssize_t>(n) : -1;
}

} // namespace

text_grid read_text_grid(FILE *in) {
    text_grid t;
    line_reader lines(in);
    std::string_view text;
    bool have_head = false;
    std::size_t columns = 0;
    std::vector<float> fields;
    std::string bad;
    binmat::grid &g = t.grid;
    while (lines.next(text)) {
        if (text.starts_with(stray_prefix)) {
            if (!have_head || !t.stray.empty() || !stray_bytes_of(text, t.stray)) {
                fail(lines.number(),
                     have_head && t.stray.empty()
                         ? "a stray bytes line holds one to three bytes, each two hex digits"
                         : "a stray bytes line may only follow the rows, once");
            }
            continue;
        }
        if (!numbers_of(text, fields, bad)) {
            fail(lines.number(), bad);
        }
        if (fields.empty()) {
            continue;
        }
        if (!t.stray.empty()) {
            fail(lines.number(), "nothing may follow the stray bytes");
        }
        if (!have_head) {
            t.stored_count = fields.front();
            const int n = binmat::column_count(t.stored_count);
            if (n == 0) {
                binmat::layout l;
                l.problem = binmat::defect::bad_column_count;
                fail(lines.number(), binmat::explain(l, t.stored_count));
            }
            columns = static_cast<std::size_t>(n);
            if (fields.size() - 1 != columns) {
                fail(lines.number(), "the column count says " + std::to_string(columns) +
                                         " columns but the line has " +
                                         std::to_string(fields.size() - 1) + " column coordinates");
            }
            g.column_coordinates.assign(fields.begin() + 1, fields.end());
            have_head = true;
            continue;
        }
        if (fields.size() != columns + 1) {
            fail(lines.number(), "expected a row coordinate and " +
                                     count_of(columns, "value", "values") + ", found " +
                                     count_of(fields.size(), "number", "numbers"));
        }
        g.row_coordinates.push_back(fields.front());
        g.values.insert(g.values.end(), fields.begin() + 1, fields.end());
    }
    if (std::ferror(in) != 0) {
        fail(lines.number() + 1, std::string("read error: ") + std::strerror(errno));
    }
    if (lines.binary()) {
        fail(lines.number(), "a NUL byte: this is binary data, not a text grid");
    }
    if (!have_head) {
        fail(lines.number() + 1, "the text ends without a column count");
    }
    if (g.row_coordinates.empty()) {
        fail(lines.number() + 1, "the text ends without a row");
    }
    return t;
}

void write_packed(FILE *out, const text_grid &t, binmat::byte_order order) {
    header_patch patch{out, {}, 0};
    float stored = t.stored_count;
    if (order == binmat::byte_order::big) {
        std::uint32_t u = 0;
        std::memcpy(&u, &stored, 4);
        u = __builtin_bswap32(u);
        std::memcpy(&stored, &u, 4);
    }
    std::memcpy(patch.head, &stored, 4);
    cookie_io_functions_t io{};
    io.write = write_patched;
    FILE *patched = fopencookie(&patch, "wb", io);
    if (patched == nullptr) {
        throw std::system_error(errno, std::generic_category(), "writing");
    }
    try {
        binmat::write(patched, t.grid, {order});
    } catch (...) {
        std::fclose(patched);
        throw;
    }
    errno = 0;
    if (std::fclose(patched) != 0 ||
        (!t.stray.empty() &&
         std::fwrite(t.stray.data(), 1, t.stray.size(), out) != t.stray.size())) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "writing");
    }
}

namespace {

// Text is produced in large chunks: a dump of hundreds of megabytes is written as it is made.
class text_writer {
  public:
    text_writer(FILE *out, char separator) : out_(out), separator_(separator) {}
    text_writer(const text_writer &) = delete;
    text_writer &operator=(const text_writer &) = delete;

    void number(float v, bool first) {
        if (used_ + float_text_max + 2 > sizeof buffer_) {
            flush();
        }
        if (!first) {
            buffer_[used_++] = separator_;
        }
        used_ = static_cast<std::size_t>(format_float(buffer_ + used_, v) - buffer_);
    }
    void text(std::string_view s) {
        if (used_ + s.size() > sizeof buffer_) {
            flush();
        }
        std::memcpy(buffer_ + used_, s.data(), s.size());
        used_ += s.size();
    }
    void flush() {
        errno = 0;
        if (used_ > 0 && std::fwrite(buffer_, 1, used_, out_) != used_) {
            throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(),
                                    "writing text");
        }
        used_ = 0;
    }

  private:
    FILE *out_;
    char separator_;
    char buffer_[1 << 16];
    std::size_t used_ = 0;
};

} // namespace

void write_text(FILE *out, std::span<const float> row_coordinates,
                std::span<const float> column_coordinates, const strided_values &values,
                float stored_count, std::span<const unsigned char> stray, char separator) {
    text_writer w(out, separator);
    w.number(stored_count, true);
    for (const float c : column_coordinates) {
        w.number(c, false);
    }
    w.text("\n");
    for (std::size_t i = 0; i < row_coordinates.size(); ++i) {
        w.number(row_coordinates[i], true);
        for (const float v : values.row(i)) {
            w.number(v, false);
        }
        w.text("\n");
    }
    if (!stray.empty()) {
        std::string s(stray_prefix);
        for (const unsigned char b : stray) {
            char hex[8];
            std::snprintf(hex, sizeof hex, " %02x", b);
            s += hex;
        }
        w.text(s + "\n");
    }
    w.flush();
}

} // namespace binmat
