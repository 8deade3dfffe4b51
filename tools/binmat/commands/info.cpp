// binmat info: what a file holds, in words or as JSON.
#include "commands.h"
#include "examine.h"
#include "json.h"
#include "netcdf_found.h"

#include <memory>

namespace cli {

namespace {

using options = file_list;

nlohmann::json axis_record(const binmat::axis_summary &a) {
    nlohmann::json r{{"first", number_or_null(a.first)},
                     {"last", number_or_null(a.last)},
                     {"uniform", a.uniform},
                     {"monotonic", a.monotonic},
                     {"repeated", a.repeated},
                     {"nan", a.nan}};
    if (a.uniform) {
        r["step"] = number_or_null(a.step);
    } else if (a.nan == 0) {
        r["min_step"] = number_or_null(a.min_step);
        r["max_step"] = number_or_null(a.max_step);
    }
    return r;
}

const char *other_order_warning = "reads much more sensibly in the other byte order";

void describe(const std::string &file, const examined &e, bool json, bool judged) {
    const binmat::axis_summary rows = binmat::summarize_axis(e.row_coordinates);
    const binmat::axis_summary columns = binmat::summarize_axis(e.column_coordinates);
    const value_summary v = summarize_values(e.values);
    if (json) {
        nlohmann::json r = record_for(file);
        r["ok"] = true;
        r["size"] = e.length;
        r["rows"] = e.rows();
        r["columns"] = e.columns();
        r["byte_order"] = byte_order_name(e.order);
        r["row_axis"] = axis_record(rows);
        r["column_axis"] = axis_record(columns);
        r["values"] = {{"min", number_or_null(v.min)},
                       {"max", number_or_null(v.max)},
                       {"mean", number_or_null(v.mean)},
                       {"nan", v.nan},
                       {"infinite", v.infinite}};
        r["stray_bytes"] = e.layout.stray;
        r["other_byte_order"] = e.other_byte_order;
        print_record(r);
        return;
    }
    char values[160];
    std::snprintf(values, sizeof values, "min %.9g, max %.9g, mean %.9g; %llu NaN, %llu infinite",
                  v.min, v.max, v.mean, static_cast<unsigned long long>(v.nan),
                  static_cast<unsigned long long>(v.infinite));
    std::string text = file + ": " + count_of(e.rows(), "row", "rows") + " x " +
                       count_of(e.columns(), "column", "columns") + ", " +
                       count_of(e.length, "byte", "bytes") + "\n";
    text += "  rows:        " + describe_axis(rows) + "\n";
    text += "  columns:     " + describe_axis(columns) + "\n";
    text += "  values:      " + std::string(values) + "\n";
    text += "  stray bytes: " + std::to_string(e.layout.stray) + "\n";
    text += "  byte order:  " + std::string(byte_order_name(e.order)) +
            (judged ? " (judged by the file)\n" : "\n");
    if (e.other_byte_order) {
        text += "  warning: " + std::string(other_order_warning) + "\n";
    }
    print(text);
}

int run(const options &o) {
    return for_each_file(
        o.files,
        [&o](const std::string &file) {
            input_file in(file);
            const examined e = examine(in, o.order);
            if (e.ok) {
                describe(file, e, o.json, o.order == binmat::byte_order::detect);
                return true;
            }
            if (const std::optional<netcdf_found> n = find_netcdf(file)) {
                if (o.json) {
                    nlohmann::json r = failure_record(file, netcdf_headline(*n), e.problem_name);
                    r["offset"] = e.offset;
                    add_netcdf_fields(r, file, *n);
                    print_record(r);
                } else {
                    print(file + ": " + netcdf_headline(*n) + "\n" + netcdf_details(file, *n));
                }
                return false;
            }
            report(file, e.problem);
            if (o.json) {
                nlohmann::json r = failure_record(file, e.problem, e.problem_name);
                r["offset"] = e.offset;
                print_record(r);
            }
            return false;
        },
        [&o](const std::string &file, const std::string &reason) {
            if (o.json) {
                print_failure_record(file, reason, "cannot_open");
            }
        });
}

} // namespace

subcommand add_info(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("info", "rows, columns, axes and value statistics");
    add_file_list(*sub, *o, "binary matrix files; - for standard input");
    add_byte_order(*sub, o->order, true);
    sub->footer(R"(For each file: rows, columns and size; for each axis its first and last
coordinate and whether the spacing is uniform (with the step) or not (with the
smallest and largest step), repeated or NaN coordinates; the values' minimum,
maximum and mean, and how many are NaN or infinite; stray bytes after the last
row; the byte order read in; a warning when the file reads much more sensibly in
the other byte order. A file that does not read gets a record with the reason;
a NetCDF file, its kind, the variables that make a grid and the command that
converts one.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
