#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace cli {

void report(const std::string &file, const std::string &reason) {
    std::fprintf(stderr, "binmat: %s: %s\n", file.c_str(), reason.c_str());
}

void warn(const std::string &name, const std::string &text) {
    std::fprintf(stderr, "binmat: warning: %s: %s\n", name.c_str(), text.c_str());
}

int for_each_file(const std::vector<std::string> &files,
                  const std::function<bool(const std::string &)> &each,
                  const std::function<void(const std::string &, const std::string &)> &refused) {
    int status = status_ok;
    for (const std::string &file : files) {
        try {
            if (!reading(file, [&] { return each(file); })) {
                status = status_bad_data;
            }
        } catch (...) {
            const verdict v = judge_current();
            if (v.output) {
                throw;
            }
            status = status_bad_data;
            std::fprintf(stderr, "binmat: %s\n", v.message.c_str());
            if (refused) {
                refused(file, v.message);
            }
        }
    }
    return status;
}

const char *byte_order_name(binmat::byte_order order) {
    switch (order) {
    case binmat::byte_order::little:
        return "little";
    case binmat::byte_order::big:
        return "big";
    case binmat::byte_order::detect:
        return "auto";
    }
    return "little";
}

void print(const std::string &text) {
    about("-", concerning::doing::writing_output, [&] {
        errno = 0;
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
            throw std::system_error(errno != 0 ? errno : EIO, std::generic_category());
        }
    });
}

int finish_standard_output(int status) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (standard_output_failed_already()) {
        return status_bad_data;
    }
    if (!flushed || std::ferror(stdout) != 0) {
        const int error = errno != 0 ? errno : EIO;
        std::fprintf(stderr, "binmat: write error: %s\n", std::strerror(error));
        return status_bad_data;
    }
    return status;
}

} // namespace cli
