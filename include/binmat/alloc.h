// Checked allocation, and the two services every host program of binmat supplies.
#pragma once

#include <cstddef>

// Supplied by the host program: writes the fatal report for error_text to standard error and ends
// the process with status 1. The storage routines pass -1 as dummy; it is otherwise unused.
[[noreturn]] void int_error(const char *error_text, int dummy);

// Supplied by the host program: called before a failed request is repeated, so that the host can
// give back memory it can spare. It may do nothing.
void FreeHelp();

// Returns size bytes of uninitialised heap storage, released with free(). A failed request (an
// exhausted heap, zero bytes, or 2^31 bytes or more) calls FreeHelp() and is repeated once; if it
// fails again, a non-null message ends the process with "out of memory for <message>", and a null
// message returns null.
void *zr_alloc(std::size_t size, const char *message);

// Resizes p (from zr_alloc or zr_realloc; null acts as zr_alloc) to size bytes, keeping the
// contents up to the smaller size, and returns the block, which may have moved. Failure is handled
// as in zr_alloc; with a null message it returns null and p still belongs to the caller, except
// that a resize to zero bytes has released p.
void *zr_realloc(void *p, std::size_t size, const char *message);
