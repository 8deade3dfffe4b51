#include "command.h"

#include <map>

namespace cli {

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

void add_no_sync(CLI::App &app, bool &no_sync) {
    app.add_flag("--no-sync", no_sync,
                 "do not wait for the output to reach the disk (for scratch files)");
}

} // namespace cli
