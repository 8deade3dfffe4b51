#include "heap.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <unistd.h>

// The linker's --wrap gives these names; they cannot be chosen.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);
void __real_free(void *p);
}

namespace {

// Atomic, as the readers and writers take memory on a second thread too.
std::atomic<bool> watching = false;
long fail_at = 0;
long fail_count = -1;
std::atomic<long> request_count = 0;
std::atomic<long> acquired_count = 0;
std::atomic<long> released_count = 0;
std::atomic<unsigned long> largest = 0;

bool refuse(std::size_t size) {
    if (!watching) {
        return false;
    }
    const long request = ++request_count;
    unsigned long seen = largest;
    while (size > seen && !largest.compare_exchange_weak(seen, size)) {
    }
    return fail_at > 0 && request >= fail_at && (fail_count < 0 || request < fail_at + fail_count);
}

} // namespace

namespace heap {

void watch(long fail_from, long count) {
    watching = true;
    fail_at = fail_from;
    fail_count = count;
    request_count = acquired_count = released_count = 0;
    largest = 0;
}

void unwatch() { watching = false; }
long requests() { return request_count; }
long acquired() { return acquired_count; }
long released() { return released_count; }
unsigned long largest_request() { return largest; }

void require_balance_at_exit() {
    std::atexit([] {
        if (acquired_count != released_count) {
            _exit(99);
        }
    });
}

} // namespace heap

extern "C" {

void *__wrap_malloc(std::size_t size) {
    if (refuse(size)) {
        return nullptr;
    }
    void *p = __real_malloc(size);
    if (watching && p != nullptr) {
        ++acquired_count;
    }
    return p;
}

void *__wrap_realloc(void *p, std::size_t size) {
    if (refuse(size)) {
        return nullptr;
    }
    void *q = __real_realloc(p, size);
    if (watching && q != nullptr && p == nullptr) {
        ++acquired_count;
    }
    return q;
}

void __wrap_free(void *p) {
    if (watching && p != nullptr) {
        ++released_count;
    }
    __real_free(p);
}

} // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

// The standard containers ask operator new, whose library version calls a malloc the linker does
// not wrap. While containers are watched, these send them through the wrapped one, so that their
// requests are counted and can be refused too; otherwise they stay out of the count.
namespace {
bool containers_watched = false;
} // namespace

namespace heap {
void watch_containers(bool on) { containers_watched = on; }
} // namespace heap

void *operator new(std::size_t size) {
    const std::size_t n = size == 0 ? 1 : size;
    void *p = containers_watched ? std::malloc(n) : __real_malloc(n);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void *operator new[](std::size_t size) { return operator new(size); }

void operator delete(void *p) noexcept {
    if (containers_watched) {
        std::free(p);
    } else {
        __real_free(p);
    }
}

void operator delete[](void *p) noexcept { operator delete(p); }
void operator delete(void *p, std::size_t /*size*/) noexcept { operator delete(p); }
void operator delete[](void *p, std::size_t /*size*/) noexcept { operator delete(p); }
