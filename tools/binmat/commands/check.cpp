// binmat check: whether each file is a whole binary matrix file, and what looks wrong in it.
#include "commands.h"
#include "examine.h"
#include "json.h"
#include "netcdf_found.h"

#include <binmat/formats/number_text.h>

#include <cmath>
#include <memory>

namespace cli {

namespace {

using options = file_list;

void axis_warnings(const char *name, std::span<const float> coordinates,
                   std::vector<std::string> &w) {
    const binmat::axis_summary a = binmat::summarize_axis(coordinates);
    const std::string axis(name);
    if (a.nan > 0) {
        w.push_back(axis + " coordinates include " + count_of(a.nan, "NaN", "NaNs"));
    } else if (a.repeated) {
        w.push_back(axis + " coordinates are repeated");
    } else if (!a.monotonic) {
        w.push_back(axis + " coordinates are not monotonic");
    }
}

std::vector<std::string> warnings_of(const examined &e) {
    std::vector<std::string> w;
    if (e.ok) {
        const std::string stray = stray_problem(e.layout);
        if (!stray.empty()) {
            w.push_back(stray + "; readers ignore them");
        }
        const value_summary v = summarize_values(e.values);
        if (v.nan + v.infinite > 0) {
            w.push_back(count_of(v.nan, "NaN", "NaN") + " and " +
                        count_of(v.infinite, "infinite value", "infinite values"));
        }
        axis_warnings("row", e.row_coordinates, w);
        axis_warnings("column", e.column_coordinates, w);
        if (e.stored_count != std::trunc(e.stored_count)) {
            w.push_back("column count " + binmat::float_text(e.stored_count) +
                        " is not whole; it reads as " + std::to_string(e.columns()));
        }
    }
    if (e.other_byte_order) {
        w.emplace_back("probably written in the other byte order");
    }
    return w;
}

bool check_one(const options &o, const std::string &file) {
    input_file in(file);
    const examined e = examine(in, o.order);
    if (const std::optional<netcdf_found> n = e.ok ? std::nullopt : find_netcdf(file)) {
        if (o.json) {
            nlohmann::json r = failure_record(file, netcdf_headline(*n), e.problem_name);
            r["offset"] = e.offset;
            add_netcdf_fields(r, file, *n);
            print_record(r);
        } else {
            print(file + ": invalid: " + netcdf_headline(*n) + "\n" + netcdf_details(file, *n));
        }
        return false;
    }
    const std::vector<std::string> warnings = warnings_of(e);
    if (o.json) {
        nlohmann::json r;
        if (e.ok) {
            r = record_for(file);
            r["ok"] = true;
            r["rows"] = e.rows();
            r["columns"] = e.columns();
        } else {
            r = failure_record(file, e.problem, e.problem_name);
            r["offset"] = e.offset;
        }
        r["byte_order"] = byte_order_name(e.order);
        r["warnings"] = warnings;
        print_record(r);
        return e.ok;
    }
    std::string text = file + (e.ok ? ": ok (" + std::to_string(e.rows()) + " x " +
                                          std::to_string(e.columns()) + ")\n"
                                    : ": invalid: " + e.problem + "\n");
    for (const std::string &w : warnings) {
        text.append(file).append(": warning: ").append(w).append("\n");
    }
    print(text);
    return e.ok;
}

} // namespace

subcommand add_check(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("check", "validate files; exit status 1 if any is invalid");
    add_file_list(*sub, *o, "binary matrix files; - for standard input");
    add_byte_order(*sub, o->order, true);
    sub->footer(R"(Prints 'FILE: ok (ROWS x COLUMNS)' or 'FILE: invalid: REASON' for each file,
then any warnings: stray bytes after the last row (which readers ignore),
values that are not finite, coordinates that are NaN, repeated or not
monotonic, a column count that is not whole, probably the other byte order.
A NetCDF file is named as one, with the variables that make a grid and the
command that converts one.
Exit status 0 when every file is valid, 1 otherwise.)");
    return {sub, [o] {
                return for_each_file(
                    o->files, [&o = *o](const std::string &file) { return check_one(o, file); },
                    [o](const std::string &file, const std::string &reason) {
                        if (o->json) {
                            print_failure_record(file, reason, "cannot_open");
                        } else {
                            print(file + ": invalid: cannot be opened\n");
                        }
                    });
            }};
}

} // namespace cli
