// Just enough JSON to read back what the tools print: objects, arrays, strings, numbers, literals.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct Json {
    enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Json> array;
    std::map<std::string, Json> object;

    const Json &operator[](const std::string &key) const { return object.at(key); }
};

// The value the whole text holds, or nothing when it is not one JSON value.
std::optional<Json> parse_json(const std::string &text);
