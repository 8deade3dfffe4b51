#include <binmat/alloc.h>

#include "support/heap.h"
#include "support/host.h"
#include "support/sanitizers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

namespace {

constexpr std::size_t two_gib = std::size_t{1} << 31;

using testing::ExitedWithCode;
using testing::StrEq;

TEST(zr_alloc, returns_usable_storage) {
    auto *p = static_cast<unsigned char *>(zr_alloc(64, "test"));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, 64);
    std::free(p);
}

TEST(zr_alloc, refuses_zero_and_oversized_requests_after_asking_for_help) {
    for (std::size_t size : {std::size_t{0}, two_gib, two_gib + 4}) {
        const int calls = host::free_help_calls;
        EXPECT_EQ(zr_alloc(size, nullptr), nullptr) << size;
        EXPECT_EQ(host::free_help_calls, calls + 1) << size;
    }
}

TEST(zr_alloc, reports_failure_with_its_message) {
    EXPECT_EXIT(zr_alloc(0, "matrix"), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for matrix")));
    EXPECT_EXIT(zr_alloc(two_gib, "extend vector"), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for extend vector")));
}

TEST(zr_alloc, report_is_cut_to_fit_its_buffer) {
    const std::string long_message(200, 'x');
    const std::string shown = "out of memory for " + long_message.substr(0, 99 - 18);
    EXPECT_EXIT(zr_alloc(0, long_message.c_str()), ExitedWithCode(1),
                StrEq(host::fatal_report(shown)));
}

TEST(zr_alloc, heap_exhaustion_tries_again_after_asking_for_help) {
    heap::watch(1);
    const int calls = host::free_help_calls;
    EXPECT_EQ(zr_alloc(16, nullptr), nullptr);
    const long requests = heap::requests();
    heap::unwatch();
    EXPECT_EQ(requests, 2);
    EXPECT_EQ(host::free_help_calls, calls + 1);
}

#ifndef BINMAT_UNDER_ASAN
bool under_valgrind() {
#if __has_include(<valgrind/valgrind.h>)
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

long address_space_in_use() {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

// A genuinely exhausted address space: the request fails until FreeHelp gives back the reserve.
void allocate_with_reserve_under_address_limit() {
    constexpr std::size_t mib = std::size_t{1} << 20;
    host::reserve = std::malloc(256 * mib);
    if (host::reserve == nullptr) {
        std::exit(2);
    }
    const auto limit = static_cast<rlim_t>(address_space_in_use()) + 64 * mib;
    const rlimit lowered{limit, limit};
    if (setrlimit(RLIMIT_AS, &lowered) != 0) {
        std::exit(3);
    }
    if (std::malloc(128 * mib) != nullptr) {
        std::exit(4); // the limit does not bite here
    }
    void *p = zr_alloc(128 * mib, "retry");
    std::exit(p != nullptr && host::reserve == nullptr ? 0 : 5);
}
#endif

TEST(zr_alloc, succeeds_on_retry_when_FreeHelp_gives_memory_back) {
#ifdef BINMAT_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#else
    if (under_valgrind()) {
        GTEST_SKIP() << "valgrind keeps freed memory, so FreeHelp cannot give address space back";
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        allocate_with_reserve_under_address_limit();
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    ASSERT_TRUE(WIFEXITED(raw));
    if (WEXITSTATUS(raw) == 4) {
        GTEST_SKIP() << "the address-space limit does not bind here (valgrind?)";
    }
    EXPECT_EQ(WEXITSTATUS(raw), 0);
#endif
}

TEST(zr_realloc, null_block_acts_as_zr_alloc) {
    void *p = zr_realloc(nullptr, 8, "test");
    ASSERT_NE(p, nullptr);
    std::free(p);
    EXPECT_EXIT(zr_realloc(nullptr, 0, "matrix"), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for matrix")));
}

TEST(zr_realloc, keeps_contents_when_growing_and_shrinking) {
    auto *p = static_cast<int *>(zr_alloc(4 * sizeof(int), "test"));
    for (int i = 0; i < 4; ++i) {
        p[i] = i + 10;
    }
    p = static_cast<int *>(zr_realloc(p, 1000 * sizeof(int), "test"));
    EXPECT_EQ(p[3], 13);
    p = static_cast<int *>(zr_realloc(p, 2 * sizeof(int), "test"));
    EXPECT_EQ(p[0], 10);
    EXPECT_EQ(p[1], 11);
    std::free(p);
}

TEST(zr_realloc, failed_resize_without_message_leaves_block_with_caller) {
    auto *p = static_cast<int *>(zr_alloc(sizeof(int), "test"));
    *p = 42;
    const int calls = host::free_help_calls;
    EXPECT_EQ(zr_realloc(p, two_gib, nullptr), nullptr);
    EXPECT_EQ(host::free_help_calls, calls + 1);
    EXPECT_EQ(*p, 42);
    std::free(p);
}

TEST(zr_realloc, resize_to_zero_releases_block_and_fails) {
    void *p = zr_alloc(16, "test");
    heap::watch();
    EXPECT_EQ(zr_realloc(p, 0, nullptr), nullptr);
    const long released = heap::released();
    heap::unwatch();
    EXPECT_EQ(released, 1);
    EXPECT_EXIT(zr_realloc(zr_alloc(16, "test"), 0, "retract vector"), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for retract vector")));
}

TEST(zr_realloc, failed_resize_with_message_is_fatal) {
    void *p = zr_alloc(16, "test");
    EXPECT_EXIT(zr_realloc(p, two_gib, "extend matrix"), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for extend matrix")));
    std::free(p);
}

} // namespace
