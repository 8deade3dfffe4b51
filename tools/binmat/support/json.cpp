#include "json.h"

#include "report.h"

#include <binmat/formats/quote.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cli {

nlohmann::json record_for(const std::string &file) {
    nlohmann::json record;
    record["file"] = file;
    try {
        (void)record.dump();
    } catch (const nlohmann::json::type_error &) {
        std::string hex;
        for (const char c : file) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(c));
            hex += pair;
        }
        record["file"] = binmat::readable_utf8(file);
        record["file_hex"] = hex;
    }
    return record;
}

void print_record(const nlohmann::json &record) { print(record.dump() + "\n"); }

nlohmann::json failure_record(const std::string &file, const std::string &reason,
                              const std::string &problem) {
    nlohmann::json r = record_for(file);
    r["ok"] = false;
    r["error"] = reason;
    r["problem"] = problem;
    return r;
}

void print_failure_record(const std::string &file, const std::string &reason,
                          const std::string &problem) {
    print_record(failure_record(file, reason, problem));
}

nlohmann::json number_or_null(float v) {
    if (!std::isfinite(v)) {
        return nullptr;
    }
    char text[32] = {};
    std::to_chars(text, text + sizeof text - 1, v);
    // The double nearest the shortest text prints as that text and reads back as the same float.
    return std::strtod(text, nullptr);
}

nlohmann::json number_or_null(double v) {
    if (!std::isfinite(v)) {
        return nullptr;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return std::strtod(text, nullptr);
}

} // namespace cli
