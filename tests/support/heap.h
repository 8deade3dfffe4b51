// Test-only view of the heap, through the linker's wrapping of malloc, realloc and free in the
// test programs: counts the blocks the library takes and gives back, and can refuse requests.
#pragma once

namespace heap {

// Starts counting afresh. From the k-th request on (1-based), `count` requests to malloc and
// realloc fail (a negative count: every one from then on); k = 0 lets every request through.
void watch(long fail_from = 0, long count = -1);

// Whether operator new and delete (the standard containers) are counted and refused as well.
void watch_containers(bool on);

// Stops counting and refusing.
void unwatch();

// Requests seen since watch(), successful or not.
long requests();

// Blocks handed out and released since watch().
long acquired();
long released();

// The largest number of bytes asked for in one request since watch().
unsigned long largest_request();

// For a child process about to end through int_error: makes its exit status 99 instead when the
// blocks acquired since watch() have not all been released by then.
void require_balance_at_exit();

} // namespace heap
