// A NetCDF file given where a binary matrix file was expected: what kind it is, which of its
// variables make a grid, and the command that would convert one, for info and check to say in
// place of the grid's defects that its bytes would show.
#pragma once

#include <binmat/formats/netcdf.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace cli {

struct netcdf_found {
    binmat::netcdf_listing listing;
    std::string unreadable; // why the NetCDF library cannot list it; empty when it could
};

// For a regular file that begins as NetCDF does: its listing, or why it cannot be had.
std::optional<netcdf_found> find_netcdf(const std::string &file);

// "a NetCDF-4 file, not a binary matrix file", or why the NetCDF library refuses it.
std::string netcdf_headline(const netcdf_found &n);

// The lines that follow the headline, each indented and ending in a line end.
std::string netcdf_details(const std::string &file, const netcdf_found &n);

// The same as fields of a JSON record.
void add_netcdf_fields(nlohmann::json &record, const std::string &file, const netcdf_found &n);

} // namespace cli
