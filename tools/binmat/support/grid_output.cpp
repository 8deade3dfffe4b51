#include "grid_output.h"

#include "report.h"

#include <binmat/formats/long_csv.h>
#include <binmat/formats/npy.h>

#include <cctype>
#include <filesystem>
#include <optional>

namespace cli {

std::map<std::string, format> format_names() {
    return {{"binmat", format::binmat},
            {"netcdf", format::netcdf},
            {"npy", format::npy},
            {"csv", format::csv}};
}

format format_of(const std::string &path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char &c : ext) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (ext == ".nc" || ext == ".nc4" || ext == ".cdf" || ext == ".netcdf") {
        return format::netcdf;
    }
    if (ext == ".npy") {
        return format::npy;
    }
    if (ext == ".csv") {
        return format::csv;
    }
    return format::binmat;
}

void report_dropped(const output_file &out, const binmat::long_csv_writer &csv) {
    if (const std::uint64_t n = csv.dropped_payloads(); n > 0) {
        warn(out.name(), std::to_string(n) + (n == 1 ? " NaN has" : " NaNs have") +
                             " a sign or payload that an empty field does not keep: --exact "
                             "keeps them");
    }
}

bool are_indices(std::span<const float> coordinates) {
    for (std::size_t i = 0; i < coordinates.size(); ++i) {
        if (coordinates[i] != static_cast<float>(i)) {
            return false;
        }
    }
    return true;
}

namespace {

// Written by netCDF-C itself: whatever it refuses concerns the output.
template <typename Grid>
void netcdf_out(output_file &out, const Grid &g, const binmat::netcdf_attributes &a) {
    std::vector<std::string> warnings;
    about(out.name(), concerning::doing::writing_output, [&] {
        out.write([&](binmat::output_file &f) { warnings = binmat::write_netcdf(f, g, a); });
    });
    for (const std::string &w : warnings) {
        warn(out.name(), w);
    }
}

} // namespace

void write_netcdf_output(output_file &out, const binmat::mapped_grid &g,
                         const binmat::netcdf_attributes &a) {
    netcdf_out(out, g, a);
}

void write_grid(format to, output_file &out, const binmat::grid_view &g, const output_settings &s) {
    switch (to) {
    case format::binmat: {
        binmat::write_options w;
        w.order = s.order;
        out.write([&](binmat::output_file &f) { binmat::write(f.stream(), g, w); });
        return;
    }
    case format::netcdf:
        netcdf_out(out, g, s.netcdf);
        return;
    case format::npy: {
        const std::uint64_t shape[2] = {g.rows(), g.columns()};
        out.write([&](binmat::output_file &f) { binmat::write_npy(f.stream(), g.values, shape); });
        return;
    }
    case format::csv:
        out.write([&](binmat::output_file &f) {
            binmat::long_csv_writer csv(f.stream(), g.column_coordinates, s.exact);
            for (std::size_t i = 0; i < g.rows(); ++i) {
                csv.put_row(g.row_coordinates[i], g.values.subspan(i * g.columns(), g.columns()));
            }
            csv.finish();
            report_dropped(out, csv);
        });
        return;
    }
}

struct row_output::streaming {
    std::optional<binmat::row_writer> grid;
    std::optional<binmat::long_csv_writer> csv;
};

row_output::row_output(format to, output_file &out, std::vector<float> columns, output_settings s)
    : to_(to), out_(out), columns_(std::move(columns)), settings_(std::move(s)) {
    held_.column_coordinates = columns_;
}

row_output::~row_output() = default;

void row_output::put(float x, std::span<const float> row) {
    ++rows_;
    if (to_ == format::netcdf || to_ == format::npy) {
        held_.row_coordinates.push_back(x);
        held_.values.insert(held_.values.end(), row.begin(), row.end());
        return;
    }
    out_.write([&](binmat::output_file &f) {
        if (!writer_) {
            writer_ = std::make_unique<streaming>();
            if (to_ == format::csv) {
                writer_->csv.emplace(f.stream(), columns_, settings_.exact);
            } else {
                writer_->grid.emplace(f.stream(), columns_, binmat::write_options{settings_.order});
            }
        }
        if (writer_->csv) {
            writer_->csv->put_row(x, row);
        } else {
            writer_->grid->put(x, row);
        }
    });
}

void row_output::finish() {
    if (to_ == format::netcdf || to_ == format::npy) {
        write_grid(to_, out_, held_, settings_);
        if (to_ == format::npy &&
            (!are_indices(held_.row_coordinates) || !are_indices(held_.column_coordinates))) {
            warn(out_.name(), "a .npy file holds the values alone: the titles are not kept "
                              "(convert to .npy with --x and --y keeps them)");
        }
        return;
    }
    if (!writer_) {
        return;
    }
    out_.write([&](binmat::output_file &) {
        if (writer_->csv) {
            writer_->csv->finish();
            report_dropped(out_, *writer_->csv);
        } else {
            writer_->grid->finish();
        }
    });
}

} // namespace cli
