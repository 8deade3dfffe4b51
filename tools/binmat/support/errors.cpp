#include "errors.h"

#include "picture_error.h"

#include <binmat/binmat.h>
#include <binmat/formats/error.h>
#include <binmat/output.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

namespace cli {

namespace {

bool standard_output_reported = false;

// The verdict on the library's error alone, before the file it concerns is put in front.
verdict on_its_own(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const usage_error &e) {
        return {e.what(), status_usage};
    } catch (const plot::picture_options_error &e) {
        return {e.what(), status_usage};
    } catch (const binmat::memory_error &e) {
        return {e.what()};
    } catch (const std::system_error &e) { // filesystem errors, and the output routine's
        return {e.code().message()};
    } catch (const std::bad_alloc &) {
        return {"not enough memory"};
    } catch (const std::exception &e) { // format, conversion and argument errors, and the rest
        return {e.what()};
    } catch (...) {
        return {"unexpected failure"};
    }
}

// The file a library error names itself, when it was opened by path: that file comes first.
std::string own_file(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const binmat::conversion_error &e) {
        return e.file();
    } catch (const std::filesystem::filesystem_error &e) {
        return e.path1().string();
    } catch (...) {
        return {};
    }
}

bool is_system_error(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error &) {
        return true;
    } catch (...) {
        return false;
    }
}

bool is_same_file(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const binmat::same_file_error &) {
        return true;
    } catch (...) {
        return false;
    }
}

verdict judge(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const concerning &c) {
        std::exception_ptr inner;
        try {
            std::rethrow_if_nested(c);
        } catch (...) {
            inner = std::current_exception();
        }
        if (!inner) {
            return {c.file() + ": unexpected failure"};
        }
        if (is_same_file(inner)) {
            return {c.file() + ": is also an input; writing it would destroy what is read",
                    status_usage, true};
        }
        verdict v = on_its_own(inner);
        v.output = c.output();
        if (c.what_with() == concerning::doing::writing_output && is_system_error(inner)) {
            v.message = "write error: " + v.message;
            if (c.file() == "-") {
                return v;
            }
        }
        const std::string named = own_file(inner);
        v.message = (named.empty() ? c.file() : named) + ": " + v.message;
        return v;
    } catch (...) {
        return on_its_own(std::current_exception());
    }
}

} // namespace

void refuse(const std::string &file, const std::string &reason) {
    reading(file, [&] { throw std::runtime_error(reason); });
    std::terminate(); // not reached: reading() rethrows
}

verdict judge_current() { return judge(std::current_exception()); }

int report_current() {
    const verdict v = judge_current();
    std::fprintf(stderr, "binmat: %s\n", v.message.c_str());
    try {
        throw;
    } catch (const concerning &c) {
        standard_output_reported =
            standard_output_reported ||
            (c.what_with() == concerning::doing::writing_output && c.file() == "-");
    } catch (...) { // NOLINT(bugprone-empty-catch): only an output's failure is remembered
    }
    return v.status;
}

bool standard_output_failed_already() { return standard_output_reported; }

} // namespace cli
