// The subcommands, each in its own file: each adds itself to the command line and returns what
// runs it.
#pragma once

#include "command.h"

namespace cli {

subcommand add_convert(CLI::App &app);
subcommand add_cut(CLI::App &app);
subcommand add_info(CLI::App &app);
subcommand add_check(CLI::App &app);
subcommand add_detect(CLI::App &app);
subcommand add_dump(CLI::App &app);
subcommand add_pack(CLI::App &app);
subcommand add_render(CLI::App &app);
subcommand add_salvage(CLI::App &app);
subcommand add_vrt(CLI::App &app);

} // namespace cli
