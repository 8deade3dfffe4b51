// The compiled part of the Python package: the library's reader, header and writer over numpy
// arrays. Grids read here are handed to numpy without a copy, and the GIL is released for I/O.
#include <binmat/binmat.h>
#include <binmat/output.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

binmat::byte_order order_named(const std::string &name) {
    if (name == "little") {
        return binmat::byte_order::little;
    }
    if (name == "big") {
        return binmat::byte_order::big;
    }
    if (name == "detect") {
        return binmat::byte_order::detect;
    }
    throw std::invalid_argument("byte_order must be \"little\", \"big\" or \"detect\", not \"" +
                                name + "\"");
}

const char *name_of(binmat::byte_order order) {
    return order == binmat::byte_order::big ? "big" : "little";
}

// A numpy array that owns the vector's memory: the vector moves into a capsule that numpy
// releases with the array.
py::array_t<float> adopt(std::vector<float> &&v, std::vector<py::ssize_t> shape) {
    auto owner = std::make_unique<std::vector<float>>(std::move(v));
    float *data = owner->data();
    py::capsule base(owner.get(), [](void *p) { delete static_cast<std::vector<float> *>(p); });
    owner.release(); // NOLINT(bugprone-unused-return-value): the capsule owns it now
    return py::array_t<float>(std::move(shape), data, base);
}

py::tuple to_python(binmat::grid &&g) {
    const auto rows = static_cast<py::ssize_t>(g.rows());
    const auto columns = static_cast<py::ssize_t>(g.columns());
    const char *order = name_of(g.order);
    return py::make_tuple(adopt(std::move(g.values), {rows, columns}),
                          adopt(std::move(g.row_coordinates), {rows}),
                          adopt(std::move(g.column_coordinates), {columns}), order);
}

py::tuple read_path(const std::filesystem::path &path, const std::string &order) {
    const binmat::read_options options{order_named(order)};
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"),
                                                                &std::fclose);
    std::FILE *f = file.get();
    if (f == nullptr) {
        throw std::filesystem::filesystem_error("cannot open binary matrix file", path,
                                                std::error_code(errno, std::generic_category()));
    }
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A pipe or a device cannot be measured before it is read.
        binmat::grid g;
        {
            py::gil_scoped_release unlocked;
            g = binmat::read(f, options);
        }
        return to_python(std::move(g));
    }
    // A regular file is measured first, so that its rows land in arrays numpy allocates.
    binmat::header h;
    {
        py::gil_scoped_release unlocked;
        h = binmat::read_header(f, options);
    }
    const auto rows = static_cast<py::ssize_t>(h.rows);
    const auto columns = static_cast<py::ssize_t>(h.columns());
    py::array_t<float> values({rows, columns});
    py::array_t<float> row_coordinates(rows);
    {
        py::gil_scoped_release unlocked;
        binmat::read_rows(path, h, 0, {row_coordinates.mutable_data(), h.rows},
                          {values.mutable_data(), static_cast<std::size_t>(values.size())});
    }
    const char *order_read = name_of(h.order);
    return py::make_tuple(values, row_coordinates,
                          adopt(std::move(h.column_coordinates), {columns}), order_read);
}

py::tuple read_bytes(const py::buffer &source, const std::string &order) {
    const binmat::read_options options{order_named(order)};
    const py::buffer_info info = source.request();
    if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1) {
        throw std::invalid_argument("bytes to read must be one contiguous run of bytes");
    }
    const std::span<const std::byte> bytes(static_cast<const std::byte *>(info.ptr),
                                           static_cast<std::size_t>(info.size));
    binmat::grid g;
    {
        py::gil_scoped_release unlocked;
        g = binmat::read(bytes, options);
    }
    return to_python(std::move(g));
}

py::dict fields_of(binmat::header &&h) {
    py::dict d;
    d["rows"] = h.rows;
    d["columns"] = h.columns();
    d["stray"] = h.stray;
    d["byte_order"] = name_of(h.order);
    d["first_row_offset"] = h.first_row_offset;
    d["length"] = h.length;
    d["inode"] = h.inode;
    d["file_size"] = h.file_size;
    d["modified"] = h.modified;
    const auto columns = static_cast<py::ssize_t>(h.columns());
    d["column_coordinates"] = adopt(std::move(h.column_coordinates), {columns});
    return d;
}

py::dict header_of(const std::filesystem::path &path, const std::string &order,
                   bool with_row_coordinates) {
    const binmat::read_options options{order_named(order)};
    binmat::header h;
    std::vector<float> row_coordinates;
    {
        py::gil_scoped_release unlocked;
        h = binmat::read_header(path, options);
        if (with_row_coordinates) {
            row_coordinates = binmat::read_row_coordinates(path, h);
        }
    }
    const auto rows = static_cast<py::ssize_t>(h.rows);
    py::dict d = fields_of(std::move(h));
    if (with_row_coordinates) {
        d["row_coordinates"] = adopt(std::move(row_coordinates), {rows});
    }
    return d;
}

std::span<const unsigned char> bytes_of(const py::bytes &b) {
    const std::string_view v = b;
    return {reinterpret_cast<const unsigned char *>(v.data()), v.size()};
}

// The header of a file of `length` bytes from its first bytes, for files read through fsspec.
py::dict parse_header(const py::bytes &head, std::uint64_t length, const std::string &order) {
    return fields_of(binmat::parse_header(bytes_of(head), length, {order_named(order)}));
}

std::uint64_t head_bytes(const py::bytes &first_four, std::uint64_t length,
                         const std::string &order) {
    return binmat::head_bytes(bytes_of(first_four), length, order_named(order));
}

// Whole stored rows, as fsspec fetched them, decoded by the library's one row decoder.
py::tuple decode_rows(const py::bytes &stored, std::size_t columns, const std::string &order) {
    const std::span<const unsigned char> bytes = bytes_of(stored);
    const auto rows = static_cast<py::ssize_t>(bytes.size() / (4 * (columns + 1)));
    py::array_t<float> values({rows, static_cast<py::ssize_t>(columns)});
    py::array_t<float> coordinates(rows);
    binmat::decode_rows(bytes, columns, order_named(order),
                        {coordinates.mutable_data(), static_cast<std::size_t>(rows)},
                        {values.mutable_data(), static_cast<std::size_t>(values.size())});
    return py::make_tuple(values, coordinates);
}

// Whether the regular file at `path` is laid out as a whole little-endian file with nothing left
// over, judged from its first four bytes and its length: nothing else is read, however large.
bool whole_file(const std::filesystem::path &path) {
    py::gil_scoped_release unlocked;
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"),
                                                                &std::fclose);
    struct stat st {};
    unsigned char count[4];
    if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode) ||
        std::fread(count, 1, 4, file.get()) != 4) {
        return false;
    }
    const binmat::layout l =
        binmat::layout_of(binmat::stored_float(count, binmat::byte_order::little),
                          static_cast<std::uint64_t>(st.st_size));
    return l.problem == binmat::defect::none && l.stray == 0;
}

// Rows [first, first + count) of the file whose header the fields are, read where they lie by the
// library's one row decoder: their coordinates and values. The file must be as it was when the
// header was read.
struct file_fields {
    std::string order;
    std::uint64_t rows;
    std::size_t columns;
    std::uint64_t first_row_offset;
    std::uint64_t inode;
    std::uint64_t file_size;
    std::int64_t modified;

    binmat::header header() const {
        binmat::header h;
        h.order = order_named(order);
        h.column_coordinates.resize(columns);
        h.rows = rows;
        h.first_row_offset = first_row_offset;
        h.inode = inode;
        h.file_size = file_size;
        h.modified = modified;
        return h;
    }
};

py::tuple read_rows_at(const std::filesystem::path &path, const file_fields &file,
                       std::uint64_t first, std::uint64_t count) {
    const binmat::header h = file.header();
    const std::size_t columns = file.columns;
    const auto n = static_cast<py::ssize_t>(count);
    py::array_t<float> values({n, static_cast<py::ssize_t>(columns)});
    py::array_t<float> coordinates(n);
    {
        py::gil_scoped_release unlocked;
        binmat::read_rows(path, h, first, {coordinates.mutable_data(), count},
                          {values.mutable_data(), static_cast<std::size_t>(values.size())});
    }
    return py::make_tuple(values, coordinates);
}

// Columns [first_column, first_column + width) of rows [first, first + count): only their bytes.
py::array_t<float> read_columns_at(const std::filesystem::path &path, const file_fields &file,
                                   std::uint64_t first, std::uint64_t count,
                                   std::size_t first_column, std::size_t width) {
    const binmat::header h = file.header();
    py::array_t<float> values({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(width)});
    {
        py::gil_scoped_release unlocked;
        binmat::read_columns(path, h, first, first_column, width,
                             {values.mutable_data(), static_cast<std::size_t>(values.size())});
    }
    return values;
}

using floats = py::array_t<float, py::array::c_style>;

std::span<const float> span_of(const floats &a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

void write_path(const std::filesystem::path &path, const floats &values,
                const floats &row_coordinates, const floats &column_coordinates,
                const std::string &order, bool sync) {
    if (values.ndim() != 2 || row_coordinates.ndim() != 1 || column_coordinates.ndim() != 1) {
        throw std::invalid_argument("values must be 2-D and coordinates 1-D");
    }
    const binmat::write_options options{order_named(order), sync};
    const binmat::grid_view g(span_of(row_coordinates), span_of(column_coordinates),
                              span_of(values));
    py::gil_scoped_release unlocked;
    binmat::write_file(path, g, options);
}

// A file that several processes write at once: a hidden name beside the target, made the full
// length with its header written, that the workers fill by name with write_rows; commit() puts it
// in the target's place, synced, and anything else removes it.
class shared_output {
  public:
    shared_output(const std::filesystem::path &path, const floats &column_coordinates,
                  std::uint64_t rows, const std::string &order, bool sync)
        : out_(std::in_place, path, binmat::output_options{sync, {}}) {
        if (out_->kind() != binmat::output_kind::replaced) {
            throw std::invalid_argument(
                "to_binmat writes a regular file, replaced whole, and \"" + path.string() +
                "\" is a FIFO, a device or a file with other hard links: use binmat.write");
        }
        const binmat::write_options options{order_named(order), sync};
        name_ = out_->name_for_library();
        const int fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            throw binmat::output_error("cannot write", path,
                                       std::error_code(errno, std::generic_category()));
        }
        try {
            binmat::write_header_at(fd, span_of(column_coordinates), rows, options);
        } catch (const std::system_error &e) {
            ::close(fd);
            throw binmat::output_error("cannot write", path, e.code());
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
        out_->library_opened();
    }

    const std::filesystem::path &name() const { return name_; }

    void commit() {
        if (!out_) {
            throw std::invalid_argument("the output was committed or discarded already");
        }
        {
            py::gil_scoped_release unlocked;
            out_->commit();
        }
        out_.reset();
    }

    void discard() { out_.reset(); }

  private:
    std::optional<binmat::output_file> out_;
    std::filesystem::path name_;
};

// Rows [first, first + count) written into a shared output's file by its hidden name.
void write_rows(const std::filesystem::path &name, std::uint64_t first,
                const floats &row_coordinates, const floats &values, const std::string &order,
                bool sync) {
    if (values.ndim() != 2 || row_coordinates.ndim() != 1) {
        throw std::invalid_argument("values must be 2-D and coordinates 1-D");
    }
    const binmat::write_options options{order_named(order), sync};
    const auto columns = static_cast<std::size_t>(values.shape(1));
    py::gil_scoped_release unlocked;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        throw binmat::output_error("cannot write", name,
                                   std::error_code(errno, std::generic_category()));
    }
    try {
        binmat::write_rows_at(fd, columns, first, span_of(row_coordinates), span_of(values),
                              options);
        if (sync && ::fdatasync(fd) != 0) {
            throw std::system_error(errno, std::generic_category());
        }
    } catch (const std::system_error &e) {
        ::close(fd);
        throw binmat::output_error("cannot write", name, e.code());
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) {
        throw binmat::output_error("cannot write", name,
                                   std::error_code(errno, std::generic_category()));
    }
}

// The exception types are plain Python, so that they pickle and can be caught without the
// extension; they are looked up when first needed. A translator sets the error and returns.
void set_error(const char *type, const py::tuple &args) {
    try {
        const py::object cls = py::module_::import("binmat._errors").attr(type);
        const py::object error = cls(*args);
        PyErr_SetObject(cls.ptr(), error.ptr());
    } catch (py::error_already_set &e) {
        e.restore();
    }
}

py::object file_name(const std::filesystem::path &path) {
    const std::string &name = path.native();
    return py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<py::ssize_t>(name.size())));
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the signature pybind11 calls
void translate(std::exception_ptr p) {
    try {
        if (p) {
            std::rethrow_exception(p);
        }
    } catch (const binmat::format_error &e) {
        set_error("FormatError",
                  py::make_tuple(e.what(), binmat::name_of(e.problem()), e.offset()));
    } catch (const std::filesystem::filesystem_error &e) {
        // OSError(errno, strerror, filename) becomes the subclass a caller expects to catch,
        // FileNotFoundError and PermissionError among them, and reads as open()'s errors do.
        if (e.code().value() == ESTALE) {
            set_error("FileChangedError",
                      py::make_tuple(ESTALE, "the file was replaced or changed since it was opened",
                                     file_name(e.path1())));
            return;
        }
        const py::tuple args =
            py::make_tuple(e.code().value(), e.code().message(), file_name(e.path1()));
        PyErr_SetObject(PyExc_OSError, args.ptr());
    } catch (const std::system_error &e) {
        const py::tuple args = py::make_tuple(e.code().value(), e.what());
        PyErr_SetObject(PyExc_OSError, args.ptr());
    }
}

} // namespace

PYBIND11_MODULE(_binmat, m) {
    m.doc() = "binmat's reader and writer, compiled";
    py::register_exception_translator(&translate);
    m.def("read_path", &read_path, py::arg("path"), py::arg("byte_order"));
    m.def("read_bytes", &read_bytes, py::arg("source"), py::arg("byte_order"));
    m.def("header", &header_of, py::arg("path"), py::arg("byte_order"),
          py::arg("with_row_coordinates") = false);
    py::class_<file_fields>(m, "FileFields")
        .def(py::init<std::string, std::uint64_t, std::size_t, std::uint64_t, std::uint64_t,
                      std::uint64_t, std::int64_t>(),
             py::arg("byte_order"), py::arg("rows"), py::arg("columns"),
             py::arg("first_row_offset"), py::arg("inode"), py::arg("file_size"),
             py::arg("modified"))
        .def(py::pickle(
            [](const file_fields &f) {
                return py::make_tuple(f.order, f.rows, f.columns, f.first_row_offset, f.inode,
                                      f.file_size, f.modified);
            },
            [](const py::tuple &t) {
                return file_fields{t[0].cast<std::string>(),   t[1].cast<std::uint64_t>(),
                                   t[2].cast<std::size_t>(),   t[3].cast<std::uint64_t>(),
                                   t[4].cast<std::uint64_t>(), t[5].cast<std::uint64_t>(),
                                   t[6].cast<std::int64_t>()};
            }));
    m.def("read_rows", &read_rows_at, py::arg("path"), py::arg("file"), py::arg("first"),
          py::arg("count"));
    m.def("read_columns", &read_columns_at, py::arg("path"), py::arg("file"), py::arg("first"),
          py::arg("count"), py::arg("first_column"), py::arg("width"));
    m.def("parse_header", &parse_header, py::arg("head"), py::arg("length"), py::arg("byte_order"));
    m.def("head_bytes", &head_bytes, py::arg("first_four"), py::arg("length"),
          py::arg("byte_order"));
    m.def("decode_rows", &decode_rows, py::arg("stored"), py::arg("columns"),
          py::arg("byte_order"));
    py::class_<shared_output>(m, "SharedOutput")
        .def(py::init<const std::filesystem::path &, const floats &, std::uint64_t,
                      const std::string &, bool>(),
             py::arg("path"), py::arg("column_coordinates"), py::arg("rows"), py::arg("byte_order"),
             py::arg("sync"))
        .def_property_readonly("name", &shared_output::name)
        .def("commit", &shared_output::commit)
        .def("discard", &shared_output::discard);
    m.def("write_rows", &write_rows, py::arg("name"), py::arg("first"), py::arg("row_coordinates"),
          py::arg("values"), py::arg("byte_order"), py::arg("sync"));
    m.def("whole_file", &whole_file, py::arg("path"));
    m.def("storable_column_count", &binmat::storable_column_count, py::arg("columns"));
    m.def("write_path", &write_path, py::arg("path"), py::arg("values"), py::arg("row_coordinates"),
          py::arg("column_coordinates"), py::arg("byte_order"), py::arg("sync"));
}
