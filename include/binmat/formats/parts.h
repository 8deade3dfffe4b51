// The programs and modules binmat starts or loads only when they are needed, so that what does
// not need them never loads their libraries: the NetCDF helper and writer, and the command's
// picture engine. They lie beside the programs in a build tree, and in LIBEXECDIR/binmat once
// installed.
#pragma once

#include <string>

namespace binmat {

// The path of the part called `name`: in $BINMAT_LIBEXEC_DIR when that is set, else the first
// place it is found; the first place looked when it is found nowhere.
std::string part_path(const std::string &name);

} // namespace binmat
