// The header of a NetCDF classic file (CDF-1, CDF-2 with 64-bit offsets, CDF-5 with 64-bit data),
// read to compare the extents it declares with the file's length before netCDF-C is trusted
// with it: netCDF-C reads the values of a file cut short as fill values, without a word.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace binmat {

// Whether the bytes begin as a NetCDF classic file does.
bool is_netcdf_classic(std::span<const unsigned char> head);

// Why the classic file `file` (whole) cannot be read as it stands: cut short inside its header or
// before the end of a variable's values, with both sizes named. Empty for a file whose extents
// fit, and for anything that is not a classic file, which is left to netCDF-C to judge.
std::string classic_problem(std::span<const unsigned char> file);

} // namespace binmat
