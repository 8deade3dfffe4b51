// binmat detect: binary or text, by the first 512 bytes, from files and pipes alike.
#include "commands.h"
#include "input.h"
#include "json.h"

#include <binmat/binary.h>

#include <memory>

namespace cli {

namespace {

using options = file_list;

constexpr std::size_t sample_size = 512;

// Whether the sample is UTF-8 text: well-formed sequences (one cut off by the end of the sample
// allowed), no zero byte, and no control byte that text does not use.
bool utf8_text(std::span<const unsigned char> s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            const bool text_control =
                c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\b' || c == 0x1B;
            if ((c < 0x20 && !text_control) || c == 0x7F) {
                return false;
            }
            ++i;
            continue;
        }
        const std::size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (length == 0 || c > 0xF4) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k == s.size()) {
                return true; // cut off by the sample
            }
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// The judgement of is_binary_file on the sample, which any stream can give without seeking;
// UTF-8 text with letters beyond ASCII is text too.
bool binary(std::vector<unsigned char> sample) {
    if (sample.empty()) {
        return false;
    }
    FILE *f = fmemopen(sample.data(), sample.size(), "rb");
    if (f == nullptr) {
        throw std::system_error(errno, std::generic_category(), "cannot sample the data");
    }
    const bool odd = is_binary_file(f) != 0;
    std::fclose(f);
    return odd && !utf8_text(sample);
}

bool detect_one(const options &o, const std::string &file) {
    input_file in(file);
    in.sample(sample_size);
    if (in.failed()) {
        refuse(file, "read error");
    }
    std::vector<unsigned char> sample = in.head();
    sample.resize(std::min(sample.size(), sample_size));
    const char *kind = binary(sample) ? "binary" : "text";
    if (o.json) {
        nlohmann::json r = record_for(file);
        r["ok"] = true;
        r["kind"] = kind;
        print_record(r);
    } else {
        print(file + ": " + kind + "\n");
    }
    return true;
}

} // namespace

subcommand add_detect(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("detect", "tell binary files from text");
    add_file_list(*sub, *o, "files; - for standard input");
    sub->footer(R"(Prints 'FILE: binary' or 'FILE: text' for each file, judged by its first 512
bytes: binary when any is zero or more than a tenth are not text, unless they
are well-formed UTF-8 text. Pipes and standard input are sampled as they come.)");
    return {sub, [o] {
                return for_each_file(
                    o->files, [&o = *o](const std::string &file) { return detect_one(o, file); },
                    [o](const std::string &file, const std::string &reason) {
                        if (o->json) {
                            print_failure_record(file, reason, "cannot_open");
                        }
                    });
            }};
}

} // namespace cli
