// The command's JSON records: one object per file, one per line.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace cli {

// A record for `file`. A name that is not UTF-8 is kept readable with replacement characters,
// and exactly, as hex bytes, under "file_hex".
nlohmann::json record_for(const std::string &file);

// The record of a file that could not be read or opened: its reason and the defect's name.
nlohmann::json failure_record(const std::string &file, const std::string &reason,
                              const std::string &problem);
void print_failure_record(const std::string &file, const std::string &reason,
                          const std::string &problem);

// The record and a line end on standard output.
void print_record(const nlohmann::json &record);

// A JSON number written with the fewest digits that give back the float (for a double, nine
// significant digits), or null for NaN and infinities, which JSON cannot hold.
nlohmann::json number_or_null(float v);
nlohmann::json number_or_null(double v);

} // namespace cli
