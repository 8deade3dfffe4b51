#include "netcdf_found.h"

#include <binmat/formats/error.h>
#include <binmat/formats/quote.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace cli {

namespace {

// A word the shell takes as it is: quoted when it holds anything but the usual characters.
std::string shell_word(const std::string &word) {
    const bool plain =
        !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                "0123456789_./-=+:,") == std::string::npos;
    if (plain) {
        return word;
    }
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The variable a user would most likely convert: the first that makes a grid as it is, else the
// first that makes one with --index.
const binmat::netcdf_variable *suggested(const binmat::netcdf_listing &l) {
    for (const binmat::netcdf_variable &v : l.variables) {
        if (v.grid) {
            return &v;
        }
    }
    for (const binmat::netcdf_variable &v : l.variables) {
        if (!v.index.empty()) {
            return &v;
        }
    }
    return nullptr;
}

std::string command_for(const std::string &file, const binmat::netcdf_variable &v) {
    std::filesystem::path out = std::filesystem::path(file).filename();
    out.replace_extension(out.extension() == ".bm" ? ".grid" : ".bm");
    std::string c = "binmat convert " + shell_word(file) + " " + shell_word(out.string()) +
                    " --variable " + shell_word(binmat::printable(v.name, 200));
    return v.index.empty() ? c : c + " " + v.index;
}

} // namespace

std::optional<netcdf_found> find_netcdf(const std::string &file) {
    if (file == "-") {
        return std::nullopt;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    unsigned char head[8] = {};
    std::ifstream in(file, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(head), sizeof head) || !binmat::looks_like_netcdf(head)) {
        return std::nullopt;
    }
    netcdf_found n;
    try {
        n.listing = binmat::list_netcdf(file);
    } catch (const binmat::conversion_error &e) {
        n.unreadable = e.what();
    } catch (const std::exception &e) {
        n.unreadable = e.what();
    }
    return n;
}

std::string netcdf_headline(const netcdf_found &n) {
    if (!n.unreadable.empty()) {
        return "NetCDF by its signature, but the NetCDF library refuses it: " + n.unreadable;
    }
    return "a " + n.listing.kind + " file, not a binary matrix file";
}

std::string netcdf_details(const std::string &file, const netcdf_found &n) {
    if (!n.unreadable.empty()) {
        return {};
    }
    const binmat::netcdf_listing &l = n.listing;
    std::string lines;
    std::size_t grids = 0;
    for (const binmat::netcdf_variable &v : l.variables) {
        if (v.grid || !v.index.empty()) {
            ++grids;
            lines += "    " + binmat::printable(v.name, 80) + "(" + v.shape + ") " + v.type +
                     (v.index.empty() ? "" : ", with " + v.index) + "\n";
        }
    }
    const std::string of = " of " + std::to_string(l.variable_count) +
                           (l.variable_count == 1 ? " variable" : " variables");
    if (grids == 0) {
        return "  none" + of + " makes a grid\n";
    }
    std::string text = "  " + std::to_string(grids) + of +
                       (grids == 1 ? " makes a grid:\n" : " make a grid:\n") + lines;
    if (l.variable_count > l.variables.size()) {
        text += "    (the first " + std::to_string(l.variables.size()) + " variables looked at)\n";
    }
    if (const binmat::netcdf_variable *v = suggested(l)) {
        text += "  convert with: " + command_for(file, *v) + "\n";
    }
    return text;
}

void add_netcdf_fields(nlohmann::json &record, const std::string &file, const netcdf_found &n) {
    nlohmann::json netcdf;
    if (!n.unreadable.empty()) {
        netcdf["unreadable"] = n.unreadable;
    } else {
        netcdf["kind"] = n.listing.kind;
        netcdf["variable_count"] = n.listing.variable_count;
        nlohmann::json variables = nlohmann::json::array();
        for (const binmat::netcdf_variable &v : n.listing.variables) {
            variables.push_back({{"name", binmat::printable(v.name, 200)},
                                 {"shape", v.shape},
                                 {"type", v.type},
                                 {"grid", v.grid},
                                 {"index", v.index}});
        }
        netcdf["variables"] = variables;
        if (const binmat::netcdf_variable *v = suggested(n.listing)) {
            netcdf["command"] = command_for(file, *v);
        }
    }
    record["netcdf"] = netcdf;
}

} // namespace cli
