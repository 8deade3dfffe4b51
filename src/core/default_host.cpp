// The host services most programs want: the fatal report on standard error and status 1, and
// nothing to give back when memory runs short. Link binmat::default_host instead of writing them.
#include <binmat/alloc.h>

#include <cstdio>
#include <cstdlib>

void int_error(const char *error_text, int /*dummy*/) {
    std::fprintf(stderr, "Fatal error..\n%s\n...now exiting to system ...\n", error_text);
    std::exit(1);
}

void FreeHelp() {}
