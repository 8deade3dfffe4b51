// The programs and modules the command starts or loads only when a subcommand needs them: the
// NetCDF helper and writer. They lie beside the command in a build tree, and in
// LIBEXECDIR/binmat once installed.
#pragma once

#include <string>

namespace binmat {

// The path of the part called `name`: in $BINMAT_LIBEXEC_DIR when that is set, else the first
// place it is found; the first place looked when it is found nowhere.
std::string part_path(const std::string &name);

} // namespace binmat
