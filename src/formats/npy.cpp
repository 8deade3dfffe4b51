#include <binmat/formats/npy.h>

#include <binmat/binmat.h>
#include <binmat/formats/error.h>
#include <binmat/formats/quote.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

namespace binmat {

namespace {

constexpr std::string_view magic = "\x93NUMPY";

// The subset of Python literals a .npy header is written in: strings, integers, True, False,
// None, tuples and lists, and the one dictionary around them.
class literal_parser {
  public:
    explicit literal_parser(std::string_view text) : text_(text) {}

    struct value {
        enum { string, integer, boolean, none, sequence } type = none;
        std::string text;
        std::uint64_t number = 0;
        bool truth = false;
        std::vector<value> items;
    };

    // The dictionary's entries in order; false with the reason in `error`.
    bool dictionary(std::vector<std::pair<std::string, value>> &entries, std::string &error) {
        skip_space();
        if (!take('{')) {
            return fail("the header is not a Python dictionary", error);
        }
        skip_space();
        while (!take('}')) {
            value key;
            if (!parse(key, 0, error)) {
                return false;
            }
            if (key.type != value::string) {
                return fail("a key of the header is not a string", error);
            }
            skip_space();
            if (!take(':')) {
                return fail("expected ':' after " + binmat::quoted(key.text), error);
            }
            value v;
            if (!parse(v, 0, error)) {
                return false;
            }
            entries.emplace_back(key.text, std::move(v));
            skip_space();
            if (!take(',')) {
                skip_space();
                if (!take('}')) {
                    return fail("expected ',' or '}' in the header", error);
                }
                break;
            }
            skip_space();
        }
        skip_space();
        if (at_ < text_.size()) {
            return fail("unexpected text after the header's dictionary", error);
        }
        return true;
    }

  private:
    static constexpr int depth_limit = 16;

    static bool fail(const std::string &why, std::string &error) {
        error = why;
        return false;
    }

    void skip_space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool word(std::string_view w) {
        if (text_.substr(at_, w.size()) == w) {
            at_ += w.size();
            return true;
        }
        return false;
    }

    bool parse(value &v, int depth, std::string &error) {
        skip_space();
        if (depth > depth_limit) {
            return fail("the header nests too deeply", error);
        }
        if (at_ >= text_.size()) {
            return fail("the header ends inside its dictionary", error);
        }
        const char c = text_[at_];
        if (c == '\'' || c == '"') {
            ++at_;
            v.type = value::string;
            while (at_ < text_.size() && text_[at_] != c) {
                if (text_[at_] == '\\') {
                    return fail("escapes in the header's strings are not read", error);
                }
                v.text += text_[at_++];
            }
            if (!take(c)) {
                return fail("a string in the header is not closed", error);
            }
            return true;
        }
        if (c >= '0' && c <= '9') {
            v.type = value::integer;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
                const auto digit = static_cast<std::uint64_t>(text_[at_++] - '0');
                if (v.number > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                    return fail("a number in the header is too large", error);
                }
                v.number = v.number * 10 + digit;
            }
            take('L'); // written by Python 2
            return true;
        }
        if (c == '(' || c == '[') {
            ++at_;
            const char close = c == '(' ? ')' : ']';
            v.type = value::sequence;
            skip_space();
            while (!take(close)) {
                value item;
                if (!parse(item, depth + 1, error)) {
                    return false;
                }
                v.items.push_back(std::move(item));
                skip_space();
                if (!take(',')) {
                    skip_space();
                    if (!take(close)) {
                        return fail("expected ',' or '" + std::string(1, close) + "' in the header",
                                    error);
                    }
                    break;
                }
                skip_space();
            }
            return true;
        }
        if (word("True") || word("False")) {
            v.type = value::boolean;
            v.truth = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
            return true;
        }
        if (word("None")) {
            v.type = value::none;
            return true;
        }
        return fail("unexpected " + binmat::quoted(std::string_view(&c, 1)) + " in the header",
                    error);
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// What a descr string names, or why it is refused.
bool element_type(const std::string &descr, npy_header &h, std::string &error) {
    if (descr.size() < 2) {
        error = "element type " + binmat::quoted(descr) + " is not one numpy writes";
        return false;
    }
    const char order = descr[0];
    const char kind = descr[1];
    const std::string size_text = descr.substr(2);
    const bool plain = size_text.size() == 1 && size_text[0] >= '1' && size_text[0] <= '8';
    const int size = plain ? size_text[0] - '0' : 0;
    switch (kind) {
    case 'O':
        error = "the array holds Python objects, not numbers";
        return false;
    case 'c':
        error = "the array holds complex numbers, which a grid of floats cannot";
        return false;
    case 'U':
    case 'S':
    case 'a':
        error = "the array holds text, not numbers";
        return false;
    case 'M':
    case 'm':
        error = "the array holds dates or times, not numbers";
        return false;
    case 'V':
        error = "the array holds raw records, not numbers";
        return false;
    default:
        break;
    }
    const bool known =
        (kind == 'f' && (size == 2 || size == 4 || size == 8)) ||
        ((kind == 'i' || kind == 'u') && (size == 1 || size == 2 || size == 4 || size == 8)) ||
        (kind == 'b' && size == 1);
    if (!known || (order != '<' && order != '>' && order != '|' && order != '=') ||
        (order == '|' && size != 1)) {
        error = "element type " + binmat::quoted(descr) +
                " is not one this reads (floats of 2, 4 or 8 bytes, integers, booleans)";
        return false;
    }
    h.kind = kind;
    h.item_size = size;
    h.big_endian = order == '>' || (order == '=' && std::endian::native == std::endian::big);
    return true;
}

std::uint64_t little_number(const unsigned char *p, int bytes) {
    std::uint64_t n = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        n = n << 8 | p[i];
    }
    return n;
}

} // namespace

namespace {

bool parse_header(std::span<const unsigned char> bytes, npy_header &h, std::uint64_t &needed,
                  std::string &error) {
    needed = 0;
    error.clear();
    const std::size_t have = std::min(bytes.size(), magic.size());
    if (std::memcmp(bytes.data(), magic.data(), have) != 0) {
        error = "not a .npy file: it does not begin with \\x93NUMPY";
        return false;
    }
    if (bytes.size() < magic.size() + 2) {
        needed = magic.size() + 4;
        return false;
    }
    const unsigned major = bytes[6];
    const unsigned minor = bytes[7];
    if (major < 1 || major > 3 || minor != 0) {
        error = "version " + std::to_string(major) + "." + std::to_string(minor) +
                " is not one this reads (1.0 to 3.0)";
        return false;
    }
    const int length_bytes = major == 1 ? 2 : 4;
    const std::uint64_t text_start = 8 + static_cast<std::uint64_t>(length_bytes);
    if (bytes.size() < text_start) {
        needed = text_start;
        return false;
    }
    const std::uint64_t total = text_start + little_number(bytes.data() + 8, length_bytes);
    if (total > npy_header_limit) {
        error = "a header of " + std::to_string(total) + " bytes is beyond the " +
                std::to_string(npy_header_limit) + " this reads";
        return false;
    }
    if (bytes.size() < total) {
        needed = total;
        return false;
    }
    const std::string_view text(reinterpret_cast<const char *>(bytes.data() + text_start),
                                static_cast<std::size_t>(total - text_start));
    std::vector<std::pair<std::string, literal_parser::value>> entries;
    if (!literal_parser(text).dictionary(entries, error)) {
        return false;
    }
    bool seen_descr = false;
    bool seen_order = false;
    bool seen_shape = false;
    for (const auto &[key, v] : entries) {
        if (key == "descr") {
            if (v.type == literal_parser::value::sequence) {
                error = "the array is structured, with fields rather than plain numbers";
                return false;
            }
            if (v.type != literal_parser::value::string || !element_type(v.text, h, error)) {
                if (error.empty()) {
                    error = "'descr' is not a string";
                }
                return false;
            }
            seen_descr = true;
        } else if (key == "fortran_order") {
            if (v.type != literal_parser::value::boolean) {
                error = "'fortran_order' is not True or False";
                return false;
            }
            h.fortran_order = v.truth;
            seen_order = true;
        } else if (key == "shape") {
            if (v.type != literal_parser::value::sequence) {
                error = "'shape' is not a tuple";
                return false;
            }
            h.shape.clear();
            for (const literal_parser::value &n : v.items) {
                if (n.type != literal_parser::value::integer) {
                    error = "'shape' holds something other than whole numbers";
                    return false;
                }
                h.shape.push_back(n.number);
            }
            seen_shape = true;
        } else {
            error = "the header has a key " + binmat::quoted(key) + " that numpy does not write";
            return false;
        }
    }
    if (!seen_descr || !seen_order || !seen_shape) {
        error = std::string("the header lacks '") +
                (!seen_descr   ? "descr"
                 : !seen_order ? "fortran_order"
                               : "shape") +
                "'";
        return false;
    }
    h.data_offset = total;
    return true;
}

} // namespace

bool parse_npy_header(std::span<const unsigned char> bytes, npy_header &h, std::uint64_t &needed) {
    std::string error;
    if (parse_header(bytes, h, needed, error)) {
        return true;
    }
    if (!error.empty()) {
        throw conversion_error(error, {std::nullopt, 0, {}});
    }
    return false;
}

namespace {

// The element at p as a float, and whether the float holds it exactly.
struct converted {
    float value;
    bool exact;
    bool overflow;
};

float half_to_float(std::uint16_t bits) {
    const std::uint32_t sign = (bits & 0x8000U) << 16;
    const std::uint32_t exponent = (bits >> 10) & 0x1FU;
    const std::uint32_t fraction = bits & 0x3FFU;
    if (exponent == 0) { // zero or subnormal: fraction * 2^-24, exactly representable
        const float magnitude = std::ldexp(static_cast<float>(fraction), -24);
        return sign != 0 ? -magnitude : magnitude;
    }
    const std::uint32_t out = exponent == 0x1F ? sign | 0x7F800000U | fraction << 13
                                               : sign | (exponent + 112) << 23 | fraction << 13;
    return std::bit_cast<float>(out);
}

template <typename T> T load(const unsigned char *b) {
    T v{};
    std::memcpy(&v, b, sizeof v);
    return v;
}

converted convert_element(const unsigned char *p, const npy_header &h) {
    unsigned char b[8];
    const auto size = static_cast<std::size_t>(h.item_size);
    if (h.big_endian != (std::endian::native == std::endian::big)) {
        std::reverse_copy(p, p + size, b);
    } else {
        std::memcpy(b, p, size);
    }
    switch (h.kind) {
    case 'f': {
        if (h.item_size == 2) {
            return {half_to_float(load<std::uint16_t>(b)), true, false};
        }
        if (h.item_size == 4) {
            return {load<float>(b), true, false};
        }
        const auto d = load<double>(b);
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
            return {0, false, true};
        }
        const auto f = static_cast<float>(d);
        return {f, std::isnan(d) || static_cast<double>(f) == d, false};
    }
    case 'b':
        return {b[0] != 0 ? 1.0F : 0.0F, true, false};
    case 'i': {
        const std::int64_t n = h.item_size == 1   ? load<std::int8_t>(b)
                               : h.item_size == 2 ? load<std::int16_t>(b)
                               : h.item_size == 4 ? load<std::int32_t>(b)
                                                  : load<std::int64_t>(b);
        const auto f = static_cast<float>(n);
        // 2^63 is a float but not an int64: compare as long double, which holds both.
        return {f, static_cast<long double>(f) == static_cast<long double>(n), false};
    }
    default: {
        const std::uint64_t n = h.item_size == 1   ? load<std::uint8_t>(b)
                                : h.item_size == 2 ? load<std::uint16_t>(b)
                                : h.item_size == 4 ? load<std::uint32_t>(b)
                                                   : load<std::uint64_t>(b);
        const auto f = static_cast<float>(n);
        return {f, static_cast<long double>(f) == static_cast<long double>(n), false};
    }
    }
}

std::string type_name(const npy_header &h) {
    const char *kind = h.kind == 'f'   ? "float"
                       : h.kind == 'i' ? "int"
                       : h.kind == 'u' ? "uint"
                                       : "bool";
    return h.kind == 'b' ? std::string(kind) : kind + std::to_string(8 * h.item_size);
}

[[noreturn]] void refuse(const std::string &why, std::optional<std::uint64_t> offset = {}) {
    throw conversion_error(why, {std::nullopt, offset, {}});
}

std::string shape_text(const std::vector<std::uint64_t> &shape) {
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        s += (i > 0 ? ", " : "") + std::to_string(shape[i]);
    }
    return s + (shape.size() == 1 ? ",)" : ")");
}

} // namespace

npy_array read_npy(std::FILE *in, std::size_t dimensions) {
    std::vector<unsigned char> head(10);
    npy_header h;
    std::uint64_t needed = 0;
    std::size_t have = std::fread(head.data(), 1, head.size(), in);
    head.resize(have);
    while (!parse_npy_header(head, h, needed)) {
        if (have == head.size() && head.size() < needed) {
            head.resize(static_cast<std::size_t>(needed));
            have += std::fread(head.data() + have, 1, head.size() - have, in);
        }
        if (have < needed) {
            refuse(std::ferror(in) != 0 ? std::strerror(errno)
                                        : "the file ends inside the .npy header");
        }
    }
    if (h.shape.size() != dimensions) {
        refuse("the array has " + std::to_string(h.shape.size()) + " dimensions " +
               shape_text(h.shape) + "; " +
               (dimensions == 2 ? "a grid needs two" : "titles need one"));
    }
    std::uint64_t count = 1;
    const std::uint64_t limit = (std::uint64_t{1} << 62) / 8;
    for (const std::uint64_t n : h.shape) {
        if (n != 0 && count > limit / n) {
            refuse("an array of shape " + shape_text(h.shape) + " is too large");
        }
        count *= n;
    }
    if (count == 0) {
        refuse("the array of shape " + shape_text(h.shape) + " is empty");
    }
    const std::uint64_t bytes = count * static_cast<std::uint64_t>(h.item_size);
    struct stat st {};
    const bool sized = ::fstat(::fileno(in), &st) == 0 && S_ISREG(st.st_mode);
    if (sized) {
        const auto length = static_cast<std::uint64_t>(st.st_size);
        if (length != h.data_offset + bytes) {
            refuse("the array of shape " + shape_text(h.shape) + " takes " + std::to_string(bytes) +
                   " bytes after its header, but the file has " +
                   std::to_string(length > h.data_offset ? length - h.data_offset : 0));
        }
    }
    npy_array a;
    a.shape = h.shape;
    a.source_type = type_name(h);
    // Memory follows what arrives, so that a stream cannot claim more than it delivers.
    constexpr std::uint64_t block_elements = std::uint64_t{1} << 16;
    try {
        a.values.reserve(static_cast<std::size_t>(sized ? count : std::min(count, block_elements)));
        std::vector<unsigned char> block(static_cast<std::size_t>(block_elements) *
                                         static_cast<std::size_t>(h.item_size));
        std::uint64_t done = 0;
        while (done < count) {
            const auto n = static_cast<std::size_t>(std::min(count - done, block_elements));
            const std::size_t got =
                std::fread(block.data(), static_cast<std::size_t>(h.item_size), n, in);
            for (std::size_t i = 0; i < got; ++i) {
                const converted c =
                    convert_element(block.data() + i * static_cast<std::size_t>(h.item_size), h);
                if (c.overflow) {
                    refuse("element " + std::to_string(done + i) +
                               " is beyond the range of single precision",
                           h.data_offset + (done + i) * static_cast<std::uint64_t>(h.item_size));
                }
                a.inexact += c.exact ? 0 : 1;
                a.values.push_back(c.value);
            }
            done += got;
            if (got < n) {
                refuse(std::ferror(in) != 0 ? std::string(std::strerror(errno))
                                            : "the data end after " + std::to_string(done) +
                                                  " of " + std::to_string(count) + " elements");
            }
        }
    } catch (const std::bad_alloc &) {
        // Said in the words of the library's readers: the shape is what was asked for.
        refuse(binmat::memory_error(h.shape[0], dimensions == 2 ? h.shape[1] : 1).what());
    }
    if (std::fgetc(in) != EOF) {
        refuse("bytes follow the array's last element");
    }
    if (h.fortran_order && dimensions == 2) {
        const auto rows = static_cast<std::size_t>(h.shape[0]);
        const auto columns = static_cast<std::size_t>(h.shape[1]);
        std::vector<float> c_order(a.values.size());
        for (std::size_t c = 0; c < columns; ++c) {
            for (std::size_t r = 0; r < rows; ++r) {
                c_order[r * columns + c] = a.values[c * rows + r];
            }
        }
        a.values = std::move(c_order);
    }
    return a;
}

npy_array read_npy_file(const std::filesystem::path &path, std::size_t dimensions) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> in(std::fopen(path.c_str(), "rb"),
                                                              &std::fclose);
    if (!in) {
        throw std::filesystem::filesystem_error("cannot open the .npy file", path,
                                                std::error_code(errno, std::generic_category()));
    }
    struct stat st {};
    if (::fstat(::fileno(in.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw std::filesystem::filesystem_error("cannot read the .npy file", path,
                                                std::error_code(EISDIR, std::generic_category()));
    }
    try {
        return read_npy(in.get(), dimensions);
    } catch (const conversion_error &e) {
        throw conversion_error(e.reason(), e.where(), path.string());
    }
}

namespace {

// One axis's coordinates from a one-dimensional .npy file, which must match the grid's side;
// without a file, the indices.
std::vector<float> coordinates_from(const std::filesystem::path &path, std::size_t length,
                                    const char *side, const npy_warn &warn) {
    if (path.empty()) {
        std::vector<float> indices(length);
        for (std::size_t i = 0; i < length; ++i) {
            indices[i] = static_cast<float>(i);
        }
        return indices;
    }
    npy_array a = read_npy_file(path, 1);
    if (a.shape[0] != length) {
        throw conversion_error(std::to_string(a.shape[0]) + " titles for " +
                                   std::to_string(length) + " " + side,
                               {}, path.string());
    }
    if (a.inexact > 0) {
        warn(path, std::to_string(a.inexact) + " titles changed when rounded from " +
                       a.source_type + " to single precision");
    }
    return std::move(a.values);
}

} // namespace

grid read_npy_grid(const std::filesystem::path &values, const std::filesystem::path &rows,
                   const std::filesystem::path &columns, const npy_warn &warn) {
    npy_array a = read_npy_file(values, 2);
    if (a.inexact > 0) {
        warn(values, std::to_string(a.inexact) + " of " + std::to_string(a.values.size()) +
                         " values changed when rounded from " + a.source_type +
                         " to single precision");
    }
    grid g;
    g.values = std::move(a.values);
    g.row_coordinates = coordinates_from(rows, static_cast<std::size_t>(a.shape[0]), "rows", warn);
    g.column_coordinates =
        coordinates_from(columns, static_cast<std::size_t>(a.shape[1]), "columns", warn);
    return g;
}

void write_npy(std::FILE *out, std::span<const float> values,
               std::span<const std::uint64_t> shape) {
    std::string dict = "{'descr': '";
    dict += std::endian::native == std::endian::big ? '>' : '<';
    dict += "f4', 'fortran_order': False, 'shape': (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        dict += (i > 0 ? ", " : "") + std::to_string(shape[i]);
    }
    dict += shape.size() == 1 ? ",), }" : "), }";
    // Padded with spaces to a multiple of 64 bytes, as numpy does, so that the data are aligned.
    const std::size_t unpadded = magic.size() + 4 + dict.size() + 1;
    dict.append((64 - unpadded % 64) % 64, ' ');
    dict += '\n';
    std::string head(magic);
    head += '\x01';
    head += '\x00';
    head += static_cast<char>(dict.size() & 0xFFU);
    head += static_cast<char>(dict.size() >> 8);
    head += dict;
    errno = 0;
    if (std::fwrite(head.data(), 1, head.size(), out) != head.size() ||
        std::fwrite(values.data(), 4, values.size(), out) != values.size()) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "writing .npy");
    }
}

} // namespace binmat
