#include "bytes.h"

#include <cstring>

namespace bytes {

std::vector<unsigned char> of_stream(FILE *f) {
    std::vector<unsigned char> data;
    std::rewind(f);
    unsigned char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        data.insert(data.end(), chunk, chunk + got);
    }
    return data;
}

std::vector<unsigned char> of_file(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return {};
    }
    std::vector<unsigned char> data = of_stream(f);
    std::fclose(f);
    return data;
}

FILE *stream_of(const std::vector<unsigned char> &data) {
    FILE *f = std::tmpfile();
    if (f != nullptr) {
        if (!data.empty()) {
            std::fwrite(data.data(), 1, data.size(), f);
        }
        std::rewind(f);
    }
    return f;
}

std::vector<float> as_floats(const std::vector<unsigned char> &data) {
    std::vector<float> values(data.size() / sizeof(float));
    if (!values.empty()) {
        std::memcpy(values.data(), data.data(), values.size() * sizeof(float));
    }
    return values;
}

std::vector<unsigned char> of_floats(const std::vector<float> &values) {
    std::vector<unsigned char> data(values.size() * sizeof(float));
    if (!data.empty()) {
        std::memcpy(data.data(), values.data(), data.size());
    }
    return data;
}

} // namespace bytes
