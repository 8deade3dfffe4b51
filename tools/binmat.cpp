// binmat: look inside, check, convert and draw binary matrix files from the shell.
#include "analysis.h"
#include "grid.h"
#include "io.h"
#include "numbers.h"
#include "render.h"
#include <binmat/alloc.h>
#include <binmat/binary.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#ifndef BINMAT_VERSION
#error "BINMAT_VERSION comes from the build"
#endif

namespace {

constexpr int status_ok = 0;
constexpr int status_bad_data = 1;
constexpr int status_usage = 2;

constexpr const char *overview = R"(usage: binmat SUBCOMMAND [options] FILE...

Binary matrix files: a grid of single-precision floats with the coordinates of
its rows and columns. FILE may be - for standard input.

subcommands:
  info     rows, columns, axes, value statistics (--json for JSON)
  dump     the grid as text, exactly as stored
  pack     a text grid back into a binary matrix file
  check    validate files; exit status 1 if any is invalid
  detect   tell binary files from text
  render   draw the surface as a PNG heat map

binmat SUBCOMMAND --help describes one subcommand; binmat --version prints the
version. Exit status: 0 success, 1 bad data, 2 usage error.
)";

struct Subcommand {
    const char *name;
    const char *help;
    int (*run)(const std::vector<std::string> &args);
};

// What a subcommand was given: options with their values, switches and files.
struct Arguments {
    std::vector<std::string> files;
    std::string output;
    bool has_output = false;
    bool json = false;
    bool csv = false;
    int width = 0;
    int height = 0;
};

[[noreturn]] void usage_error(const std::string &message) {
    std::fprintf(stderr, "binmat: %s\nTry 'binmat --help'.\n", message.c_str());
    std::exit(status_usage);
}

void data_error(const std::string &file, const std::string &reason) {
    std::fprintf(stderr, "binmat: %s: %s\n", file.c_str(), reason.c_str());
}

int parse_size(const std::string &option, const std::string &value) {
    int n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n <= 0 || n > 16384) {
        usage_error(option + " takes a whole number of pixels from 1 to 16384");
    }
    return n;
}

// Options a subcommand accepts: "-o", "--json", "--csv", "--width", "--height".
Arguments parse(const std::vector<std::string> &args, std::string_view accepted) {
    Arguments a;
    auto takes = [accepted](std::string_view option) {
        return accepted.find(std::string(option) + " ") != std::string_view::npos;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size()) {
                usage_error(arg + " needs a value");
            }
            return args[++i];
        };
        if (arg == "--") {
            a.files.insert(a.files.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                           args.end());
            break;
        }
        if (arg.size() > 1 && arg[0] == '-' && !takes(arg)) {
            usage_error("unknown option " + arg);
        }
        if (arg == "-o") {
            a.output = value();
            a.has_output = true;
        } else if (arg == "--json") {
            a.json = true;
        } else if (arg == "--csv") {
            a.csv = true;
        } else if (arg == "--width") {
            a.width = parse_size(arg, value());
        } else if (arg == "--height") {
            a.height = parse_size(arg, value());
        } else {
            a.files.push_back(arg);
        }
    }
    return a;
}

std::string text_of(float v) {
    char buf[float_text_max];
    return {buf, format_float(buf, v)};
}

std::unique_ptr<Input> open_input(const std::string &file) {
    std::string error;
    std::unique_ptr<Input> in = Input::open(file, error);
    if (!in) {
        data_error(file, error);
    }
    return in;
}

// Opens and reads a file whose grid a subcommand needs; null, after saying why, when it has none.
std::unique_ptr<Input> open_grid(const std::string &file, Examined &e) {
    std::unique_ptr<Input> in = open_input(file);
    if (in) {
        e = examine(*in);
        if (!e.grid) {
            data_error(file, e.problem);
            in.reset();
        }
    }
    return in;
}

// Runs `each` on every file that opens; the status is bad data when any did not open or `each`
// returned false for it.
int for_each_input(const std::vector<std::string> &files,
                   const std::function<bool(const std::string &, Input &)> &each) {
    int status = status_ok;
    for (const std::string &file : files) {
        const std::unique_ptr<Input> in = open_input(file);
        if (!in || !each(file, *in)) {
            status = status_bad_data;
        }
    }
    return status;
}

// ---- info -----------------------------------------------------------------------------------

std::string json_number(double v) {
    if (!std::isfinite(v)) {
        return "null";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_axis(const AxisSummary &a) {
    std::string s = "{\"first\":" + json_number(a.first) + ",\"last\":" + json_number(a.last) +
                    ",\"uniform\":" + (a.uniform ? "true" : "false");
    if (!a.uniform) {
        s +=
            ",\"min_step\":" + json_number(a.min_step) + ",\"max_step\":" + json_number(a.max_step);
    }
    return s + "}";
}

std::string text_axis(const AxisSummary &a) {
    std::string s = text_of(a.first) + " to " + text_of(a.last);
    if (a.uniform) {
        return s + ", uniform";
    }
    char steps[96];
    std::snprintf(steps, sizeof steps, ", not uniform (steps %.9g to %.9g)", a.min_step,
                  a.max_step);
    return s + steps;
}

void print_info(const std::string &file, const Examined &e, bool json) {
    const Grid &g = *e.grid;
    const AxisSummary rows = summarize_axis(g.row_titles(), g.rows());
    const AxisSummary columns = summarize_axis(g.column_titles(), g.columns());
    const ValueSummary v = summarize_values(g);
    if (json) {
        std::printf(
            "{\"file\":%s,\"size\":%llu,\"rows\":%d,\"columns\":%d,\"row_axis\":%s,"
            "\"column_axis\":%s,\"values\":{\"min\":%s,\"max\":%s,\"mean\":%s,\"nan\":%llu,"
            "\"infinite\":%llu},\"stray_bytes\":%llu,\"other_byte_order\":%s}\n",
            json_string(file).c_str(), static_cast<unsigned long long>(e.length), g.rows(),
            g.columns(), json_axis(rows).c_str(), json_axis(columns).c_str(),
            json_number(v.min).c_str(), json_number(v.max).c_str(), json_number(v.mean).c_str(),
            static_cast<unsigned long long>(v.nan), static_cast<unsigned long long>(v.infinite),
            static_cast<unsigned long long>(e.layout.stray), e.other_byte_order ? "true" : "false");
        return;
    }
    std::printf("%s: %d rows x %d columns, %llu bytes\n", file.c_str(), g.rows(), g.columns(),
                static_cast<unsigned long long>(e.length));
    std::printf("  rows:        %s\n", text_axis(rows).c_str());
    std::printf("  columns:     %s\n", text_axis(columns).c_str());
    std::printf("  values:      min %.9g, max %.9g, mean %.9g; %llu NaN, %llu infinite\n", v.min,
                v.max, v.mean, static_cast<unsigned long long>(v.nan),
                static_cast<unsigned long long>(v.infinite));
    std::printf("  stray bytes: %llu\n", static_cast<unsigned long long>(e.layout.stray));
    if (e.other_byte_order) {
        std::printf("  warning: reads much more sensibly byte-swapped; probably written in the "
                    "other byte order\n");
    }
}

int run_info(const std::vector<std::string> &args) {
    const Arguments a = parse(args, "--json ");
    if (a.files.empty()) {
        usage_error("info needs at least one FILE");
    }
    return for_each_input(a.files, [&a](const std::string &file, Input &in) {
        const Examined e = examine(in);
        if (!e.grid) {
            data_error(file, e.problem);
            return false;
        }
        print_info(file, e, a.json);
        return true;
    });
}

// ---- check ----------------------------------------------------------------------------------

std::vector<std::string> warnings_of(const Examined &e) {
    std::vector<std::string> w;
    if (e.grid) {
        const Grid &g = *e.grid;
        const ValueSummary v = summarize_values(g);
        if (v.nan + v.infinite > 0) {
            w.push_back(std::to_string(v.nan) + " NaN and " + std::to_string(v.infinite) +
                        " infinite values");
        }
        if (!summarize_axis(g.row_titles(), g.rows()).monotonic) {
            w.push_back("row coordinates are not monotonic");
        }
        if (!summarize_axis(g.column_titles(), g.columns()).monotonic) {
            w.push_back("column coordinates are not monotonic");
        }
        if (e.stored_count != std::trunc(e.stored_count)) {
            w.push_back("column count " + text_of(e.stored_count) + " is not whole; it reads as " +
                        std::to_string(g.columns()));
        }
    }
    if (e.other_byte_order) {
        w.emplace_back("probably written in the other byte order");
    }
    return w;
}

int run_check(const std::vector<std::string> &args) {
    const Arguments a = parse(args, "");
    if (a.files.empty()) {
        usage_error("check needs at least one FILE");
    }
    return for_each_input(a.files, [](const std::string &file, Input &in) {
        const Examined e = examine(in);
        const std::string problem = e.grid ? stray_problem(e.layout) : e.problem;
        if (problem.empty()) {
            std::printf("%s: ok (%d x %d)\n", file.c_str(), e.grid->rows(), e.grid->columns());
        } else {
            std::printf("%s: invalid: %s\n", file.c_str(), problem.c_str());
        }
        for (const std::string &w : warnings_of(e)) {
            std::printf("%s: warning: %s\n", file.c_str(), w.c_str());
        }
        return problem.empty();
    });
}

// ---- detect ---------------------------------------------------------------------------------

int run_detect(const std::vector<std::string> &args) {
    const Arguments a = parse(args, "");
    if (a.files.empty()) {
        usage_error("detect needs at least one FILE");
    }
    return for_each_input(a.files, [](const std::string &file, Input &in) {
        std::printf("%s: %s\n", file.c_str(), is_binary_file(in.raw()) != 0 ? "binary" : "text");
        return true;
    });
}

// ---- dump -----------------------------------------------------------------------------------

// Text is produced in large chunks: a dump of hundreds of megabytes is written as it is made.
class TextWriter {
  public:
    TextWriter(FILE *out, char separator) : out_(out), separator_(separator) {}
    ~TextWriter() { flush(); }
    TextWriter(const TextWriter &) = delete;
    TextWriter &operator=(const TextWriter &) = delete;

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
        if (s.size() > sizeof buffer_) {
            std::fwrite(s.data(), 1, s.size(), out_);
            return;
        }
        std::memcpy(buffer_ + used_, s.data(), s.size());
        used_ += s.size();
    }
    void flush() {
        std::fwrite(buffer_, 1, used_, out_);
        used_ = 0;
    }

  private:
    FILE *out_;
    char separator_;
    char buffer_[1 << 16];
    std::size_t used_ = 0;
};

void dump_grid(const Examined &e, FILE *out, char separator) {
    const Grid &g = *e.grid;
    TextWriter w(out, separator);
    w.number(e.stored_count, true);
    for (int j = 0; j < g.columns(); ++j) {
        w.number(g.column_titles()[j], false);
    }
    w.text("\n");
    for (int i = 0; i < g.rows(); ++i) {
        w.number(g.row_titles()[i], true);
        const float *row = g.row(i);
        for (int j = 0; j < g.columns(); ++j) {
            w.number(row[j], false);
        }
        w.text("\n");
    }
}

std::string stray_trailer(const std::vector<unsigned char> &stray) {
    std::string s = "# stray bytes:";
    for (const unsigned char b : stray) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %02x", b);
        s += hex;
    }
    return s + "\n";
}

int run_dump(const std::vector<std::string> &args) {
    const Arguments a = parse(args, "-o --csv ");
    if (a.files.size() != 1) {
        usage_error("dump takes one FILE");
    }
    const std::string &file = a.files.front();
    Examined e;
    const std::unique_ptr<Input> in = open_grid(file, e);
    if (!in) {
        return status_bad_data;
    }
    std::string error;
    const std::string target = a.has_output ? a.output : "-";
    const std::unique_ptr<Output> out = Output::open(target, error);
    if (!out) {
        data_error(target, error);
        return status_bad_data;
    }
    dump_grid(e, out->stream(), a.csv ? ',' : ' ');
    if (e.layout.stray > 0) {
        // Kept as a comment so that pack can give back every byte of the file.
        const std::string trailer = stray_trailer(in->tail(e.layout.stray));
        std::fwrite(trailer.data(), 1, trailer.size(), out->stream());
    }
    if (!out->commit(error)) {
        data_error(target, error);
        return status_bad_data;
    }
    return status_ok;
}

// ---- pack -----------------------------------------------------------------------------------

struct TextGrid {
    float stored_count = 0;
    std::vector<float> column_titles;
    std::vector<float> row_titles;
    std::vector<float> values;
    std::vector<unsigned char> stray;
};

// Reads the numbers of one line, separated by white space or commas, up to a '#'.
bool numbers_of(std::string_view line, std::vector<float> &out, std::string &bad) {
    out.clear();
    const std::size_t hash = line.find('#');
    if (hash != std::string_view::npos) {
        line = line.substr(0, hash);
    }
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < line.size() &&
               std::string_view(" \t,\r\n\f\v").find(line[end]) == std::string_view::npos) {
            ++end;
        }
        float v = 0;
        if (!parse_float(line.substr(i, end - i), v)) {
            bad = std::string(line.substr(i, end - i));
            return false;
        }
        out.push_back(v);
        i = end;
    }
    return true;
}

bool stray_bytes_of(std::string_view line, std::vector<unsigned char> &stray) {
    constexpr std::string_view prefix = "# stray bytes:";
    if (!line.starts_with(prefix)) {
        return false;
    }
    std::vector<unsigned char> bytes;
    line.remove_prefix(prefix.size());
    while (!line.empty()) {
        if (line.front() == ' ' || line.front() == '\n' || line.front() == '\r') {
            line.remove_prefix(1);
            continue;
        }
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value, 16);
        const auto used = static_cast<std::size_t>(end - line.data());
        if (ec != std::errc() || value > 0xFF || used != 2) {
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

bool read_text_grid(FILE *in, TextGrid &t, std::string &error) {
    char *line = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    long number = 0;
    bool have_head = false;
    std::size_t columns = 0;
    std::vector<float> fields;
    std::string bad;
    auto fail = [&](const std::string &why) {
        error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    bool ok = true;
    while (ok && (length = getline(&line, &capacity, in)) >= 0) {
        ++number;
        const std::string_view text(line, static_cast<std::size_t>(length));
        if (!t.stray.empty()) {
            std::vector<float> rest;
            ok = numbers_of(text, rest, bad) && rest.empty()
                     ? true
                     : fail("nothing may follow the stray bytes");
            continue;
        }
        if (have_head && stray_bytes_of(text, t.stray)) {
            continue;
        }
        if (!numbers_of(text, fields, bad)) {
            ok = fail("'" + bad + "' is not a number");
            continue;
        }
        if (fields.empty()) {
            continue;
        }
        if (!have_head) {
            t.stored_count = fields.front();
            const int n = binmat::column_count(t.stored_count);
            if (n == 0) {
                ok = fail("column count " + text_of(t.stored_count) +
                          " is not a positive whole number");
                continue;
            }
            columns = static_cast<std::size_t>(n);
            if (fields.size() - 1 != columns) {
                ok = fail("the column count says " + std::to_string(columns) +
                          " columns but the line has " + std::to_string(fields.size() - 1) +
                          " column coordinates");
                continue;
            }
            t.column_titles.assign(fields.begin() + 1, fields.end());
            have_head = true;
            continue;
        }
        if (fields.size() != columns + 1) {
            ok = fail("expected a row coordinate and " + std::to_string(columns) +
                      " values, found " + std::to_string(fields.size()) + " numbers");
            continue;
        }
        if (t.row_titles.size() >= (std::size_t{1} << 28)) {
            ok = fail("too many rows");
            continue;
        }
        t.row_titles.push_back(fields.front());
        t.values.insert(t.values.end(), fields.begin() + 1, fields.end());
    }
    std::free(line);
    if (!ok) {
        return false;
    }
    if (std::ferror(in) != 0) {
        error = "read error";
        return false;
    }
    if (!have_head) {
        error = "no column count";
        return false;
    }
    if (t.row_titles.empty()) {
        error = "no rows";
        return false;
    }
    return true;
}

// fwrite_matrix stores the count of the columns it writes; a file whose stored count is not
// whole (2.9 for 2 columns) keeps its own first four bytes through this stream.
struct HeaderPatch {
    FILE *out;
    unsigned char head[4];
    std::uint64_t written;
};

ssize_t write_patched(void *cookie, const char *buf, std::size_t size) {
    auto *p = static_cast<HeaderPatch *>(cookie);
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

bool write_text_grid(TextGrid &t, FILE *out) {
    const int rows = static_cast<int>(t.row_titles.size());
    const int columns = static_cast<int>(t.column_titles.size());
    HeaderPatch patch{out, {}, 0};
    std::memcpy(patch.head, &t.stored_count, 4);
    cookie_io_functions_t io{};
    io.write = write_patched;
    FILE *patched = fopencookie(&patch, "wb", io);
    if (patched == nullptr) {
        return false;
    }
    float **m = convert_matrix(t.values.data(), 0, rows - 1, 0, columns - 1);
    const TBOOLEAN written = fwrite_matrix(patched, m, 0, rows - 1, 0, columns - 1,
                                           t.row_titles.data(), t.column_titles.data());
    free_convert_matrix(m, 0, rows - 1, 0, columns - 1);
    const bool closed = std::fclose(patched) == 0;
    const bool stray =
        t.stray.empty() || std::fwrite(t.stray.data(), 1, t.stray.size(), out) == t.stray.size();
    return written == 1 && closed && stray;
}

int run_pack(const std::vector<std::string> &args) {
    const Arguments a = parse(args, "-o ");
    if (a.files.size() != 1 || !a.has_output) {
        usage_error("pack takes one TEXT file and -o OUT");
    }
    const std::string &file = a.files.front();
    FILE *in = file == "-" ? stdin : std::fopen(file.c_str(), "r");
    if (in == nullptr) {
        data_error(file, std::strerror(errno));
        return status_bad_data;
    }
    TextGrid t;
    std::string error;
    const bool parsed = read_text_grid(in, t, error);
    if (in != stdin) {
        std::fclose(in);
    }
    if (!parsed) {
        data_error(file, error);
        return status_bad_data;
    }
    const std::unique_ptr<Output> out = Output::open(a.output, error);
    if (!out) {
        data_error(a.output, error);
        return status_bad_data;
    }
    if (!write_text_grid(t, out->stream())) {
        data_error(a.output, "cannot write the file");
        return status_bad_data;
    }
    if (!out->commit(error)) {
        data_error(a.output, error);
        return status_bad_data;
    }
    return status_ok;
}

// ---- render ---------------------------------------------------------------------------------

int run_render(const std::vector<std::string> &args) {
    const Arguments a = parse(args, "-o --width --height ");
    if (a.files.size() != 1 || !a.has_output) {
        usage_error("render takes one FILE and -o OUT.png");
    }
    RenderSize size;
    size.width = a.width > 0 ? a.width : size.width;
    size.height = a.height > 0 ? a.height : size.height;
    if (size.width < render_min_width || size.height < render_min_height) {
        usage_error("the image must be at least " + std::to_string(render_min_width) + " x " +
                    std::to_string(render_min_height) + " pixels");
    }
    const std::string &file = a.files.front();
    Examined e;
    const std::unique_ptr<Input> in = open_grid(file, e);
    if (!in) {
        return status_bad_data;
    }
    std::string error;
    const std::unique_ptr<Output> out = Output::open(a.output, error);
    if (!out) {
        data_error(a.output, error);
        return status_bad_data;
    }
    if (!render_png(*e.grid, size, out->stream(), error) || !out->commit(error)) {
        data_error(a.output, error);
        return status_bad_data;
    }
    return status_ok;
}

const Subcommand subcommands[] = {
    {"info", R"(usage: binmat info [--json] FILE...

For each file: rows, columns and size; for each axis its first and last
coordinate and whether the spacing is uniform (if not, the smallest and largest
step); the values' minimum, maximum and mean, and how many are NaN or infinite;
stray bytes after the last row; a warning when the file reads much more
sensibly byte-swapped. --json prints one JSON object per file, one per line.
)",
     run_info},
    {"dump", R"(usage: binmat dump [--csv] [-o OUT] FILE

Writes the grid as text, in the file's own layout: the first line holds the
column count and the column coordinates, then each line a row coordinate and
the row's values. Numbers are the shortest text that reads back to the same
float; NaNs other than the default one are written nan(0xBITS). Separated by
spaces, or commas with --csv. Stray bytes after the last row become a final
'# stray bytes:' line, so that pack gives back the identical file.
)",
     run_dump},
    {"pack", R"(usage: binmat pack TEXT -o OUT

Turns a text grid in dump's layout into a binary matrix file. Numbers may be
separated by white space or commas; '#' starts a comment, and blank lines are
ignored. Every row must hold a row coordinate and as many values as the column
count says. Errors name the line.
)",
     run_pack},
    {"check", R"(usage: binmat check FILE...

Validates each file and prints 'FILE: ok (ROWS x COLUMNS)' or
'FILE: invalid: REASON', then any warnings (values that are not finite,
coordinates that are not monotonic, a column count that is not whole, probably
the other byte order). Exit status 0 when every file is valid, 1 otherwise.
)",
     run_check},
    {"detect", R"(usage: binmat detect FILE...

Prints 'FILE: binary' or 'FILE: text' for each file, judged by its first 512
bytes. Data that cannot be repositioned, such as a pipe, counts as text.
)",
     run_detect},
    {"render", R"(usage: binmat render FILE -o OUT.png [--width W] [--height H]

Draws the surface as a heat map (default 640 x 480 pixels) with a perceptually
uniform colour map and a colour bar labelled with the value range. Each cell is
placed by its row and column coordinates, so uneven spacing shows; rows run up
the image, columns across it. NaN cells are grey.
)",
     run_render},
};

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(overview, stderr);
        return status_usage;
    }
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(overview, stdout);
        return status_ok;
    }
    if (args[0] == "--version") {
        std::printf("binmat %s\n", BINMAT_VERSION);
        return status_ok;
    }
    for (const Subcommand &sub : subcommands) {
        if (args[0] == sub.name) {
            const std::vector<std::string> rest(args.begin() + 1, args.end());
            for (const std::string &arg : rest) {
                if (arg == "--help" || arg == "-h") {
                    std::fputs(sub.help, stdout);
                    return status_ok;
                }
                if (arg == "--") {
                    break;
                }
            }
            return sub.run(rest);
        }
    }
    usage_error("unknown subcommand '" + args[0] + "'");
}
