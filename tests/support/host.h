// The test programs' host: a real fatal report, and a FreeHelp that counts and gives back a
// reserve.
#pragma once

#include <string>

namespace host {

// Times FreeHelp has been called.
extern int free_help_calls;

// A block from malloc that FreeHelp releases (and clears) when it is called.
extern void *reserve;

// The exact text that int_error writes for message.
std::string fatal_report(const std::string &message);

} // namespace host
