// The fuzz targets' host: reaching a fatal report from outside bytes is a finding, so it aborts.
#include <binmat/alloc.h>

#include <cstdio>
#include <cstdlib>

void int_error(const char *error_text, int /*dummy*/) {
    std::fprintf(stderr, "Fatal error..\n%s\n...now exiting to system ...\n", error_text);
    std::abort();
}

void FreeHelp() {}
