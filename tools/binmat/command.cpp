#include "command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {

void report(const std::string &file, const std::string &reason) {
    std::fprintf(stderr, "binmat: %s: %s\n", file.c_str(), reason.c_str());
}

int for_each_file(const std::vector<std::string> &files,
                  const std::function<bool(const std::string &)> &each,
                  const std::function<void(const std::string &, const std::string &)> &refused) {
    int status = status_ok;
    for (const std::string &file : files) {
        try {
            if (!each(file)) {
                status = status_bad_data;
            }
        } catch (const output_error &) {
            throw;
        } catch (const failure &f) {
            status = status_bad_data;
            std::fprintf(stderr, "binmat: %s\n", f.what());
            if (refused) {
                refused(file, f.what());
            }
        }
    }
    return status;
}

void add_file_list(CLI::App &app, file_list &o, const std::string &files_help) {
    app.add_option("FILE", o.files, files_help)->required();
    app.add_flag("--json", o.json, "one JSON object per file, one per line");
}

void add_byte_order(CLI::App &app, binmat::byte_order &order, bool reading) {
    std::map<std::string, binmat::byte_order> names{{"little", binmat::byte_order::little},
                                                    {"big", binmat::byte_order::big}};
    std::string help = "byte order of the floats: little (the default, as written on x86) or big";
    if (reading) {
        names.emplace("auto", binmat::byte_order::detect);
        help += ", or auto to judge by the file";
    }
    app.add_option("--byte-order", order, help)
        ->transform(CLI::CheckedTransformer(names, CLI::ignore_case))
        ->option_text(reading ? "little|big|auto" : "little|big");
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

namespace {

bool standard_output_reported = false;

} // namespace

void standard_output_failed(int error) {
    standard_output_reported = true;
    throw output_error(std::string("write error: ") + std::strerror(error));
}

void print(const std::string &text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        standard_output_failed(errno != 0 ? errno : EIO);
    }
}

int finish_standard_output(int status) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (standard_output_reported) {
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
