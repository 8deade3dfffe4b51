#include "host.h"

#include <binmat/alloc.h>

#include <cstdio>
#include <cstdlib>

namespace host {

int free_help_calls = 0;
void *reserve = nullptr;

std::string fatal_report(const std::string &message) {
    return "Fatal error..\n" + message + "\n...now exiting to system ...\n";
}

} // namespace host

void int_error(const char *error_text, int /*dummy*/) {
    std::fprintf(stderr, "Fatal error..\n%s\n...now exiting to system ...\n", error_text);
    std::exit(1);
}

void FreeHelp() {
    ++host::free_help_calls;
    std::free(host::reserve);
    host::reserve = nullptr;
}
