// A grid going out in any of the formats the command writes, chosen by the output's name as
// convert chooses them: a binary matrix file (anything without another format's extension),
// NetCDF (.nc, .nc4, .cdf), numpy's .npy or long CSV (.csv).
#pragma once

#include "output.h"

#include <binmat/binmat.h>
#include <binmat/formats/long_csv.h>
#include <binmat/formats/netcdf.h>
#include <binmat/mapped.h>

#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace cli {

enum class format { binmat, netcdf, npy, csv };

std::map<std::string, format> format_names();

// By extension; a binary matrix file has none of its own, so anything else is one.
format format_of(const std::string &path);

struct output_settings {
    binmat::byte_order order = binmat::byte_order::little; // of a binary matrix file
    bool exact = false;               // CSV: NaNs as text that keeps their payloads
    binmat::netcdf_attributes netcdf; // names, units, compression, grid mapping
};

// The warning, once the whole output is written, that NaN payloads went as empty fields.
void report_dropped(const output_file &out, const binmat::long_csv_writer &csv);

// Whether coordinates are 0, 1, 2...: what a format without titles gives back.
bool are_indices(std::span<const float> coordinates);

// A whole grid in format `to`. The titles of a .npy grid go nowhere: the caller says what
// becomes of them. Warnings (NaN payloads dropped, titles CF forbids) are printed.
void write_grid(format to, output_file &out, const binmat::grid_view &g, const output_settings &s);

// NetCDF from a mapped binary matrix file, a block of rows at a time.
void write_netcdf_output(output_file &out, const binmat::mapped_grid &g,
                         const binmat::netcdf_attributes &a);

// A grid a row at a time. Binary matrix files and CSV go out as the rows come; NetCDF and .npy,
// whose headers hold the row count, are held in memory until finish(). Nothing is written
// before the first row, so that an output with no row leaves nothing behind.
class row_output {
  public:
    row_output(format to, output_file &out, std::vector<float> columns, output_settings s);
    ~row_output();
    row_output(const row_output &) = delete;
    row_output &operator=(const row_output &) = delete;

    void put(float x, std::span<const float> row);
    bool empty() const { return rows_ == 0; }
    // Writes what was held and ends the output: it must have a row.
    void finish();

  private:
    struct streaming;
    format to_;
    output_file &out_;
    std::vector<float> columns_;
    output_settings settings_;
    std::uint64_t rows_ = 0;
    std::unique_ptr<streaming> writer_; // binary matrix files and CSV
    binmat::grid held_;                 // NetCDF and .npy
};

} // namespace cli
