#include <binmat/alloc.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: alloc.cpp binmat $";

// Requests this large are refused whatever the heap could give: byte counts of stored objects must
// fit a signed 32-bit int on every platform the files travel to.
constexpr std::size_t request_limit = std::size_t{1} << 31;

bool acceptable(std::size_t size) { return size > 0 && size < request_limit; }

void *try_malloc(std::size_t size) { return acceptable(size) ? std::malloc(size) : nullptr; }

void *try_realloc(void *p, std::size_t size) {
    return acceptable(size) ? std::realloc(p, size) : nullptr;
}

[[noreturn]] void out_of_memory(const char *message) {
    // The text is composed on the stack: nothing may be allocated while reporting exhaustion.
    char buffer[100];
    std::snprintf(buffer, sizeof buffer, "out of memory for %s", message);
    int_error(buffer, -1);
}

} // namespace

void *zr_alloc(std::size_t size, const char *message) {
    void *p = try_malloc(size);
    if (p == nullptr) {
        FreeHelp();
        p = try_malloc(size);
    }
    if (p == nullptr && message != nullptr) {
        out_of_memory(message);
    }
    return p;
}

void *zr_realloc(void *p, std::size_t size, const char *message) {
    if (p == nullptr) {
        return zr_alloc(size, message);
    }
    if (size == 0) {
        // Shrinking to nothing gives the block up; it counts as a failed request all the same.
        std::free(p);
        FreeHelp();
        if (message != nullptr) {
            out_of_memory(message);
        }
        return nullptr;
    }
    void *q = try_realloc(p, size);
    if (q == nullptr) {
        FreeHelp();
        q = try_realloc(p, size);
    }
    if (q == nullptr && message != nullptr) {
        out_of_memory(message);
    }
    return q;
}
