// What the ranged storage, the writer and the reader share: how a ranged handle addresses its
// block, sizes computed without overflow, and the scratch block that batches stdio calls.
#pragma once

#include <binmat/layout.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace binmat::detail {

// Column coordinates of a count the stream has not yet backed up arrive in chunks at most doubling
// what came, so that a count claimed by four bytes commits no more memory than about twice the
// bytes that really arrived.
inline constexpr std::size_t first_coordinate_chunk = 1024;

// Refuses bytes that are not a whole file, as every reader does: format_error with the layout's
// verdict on a file of `length` bytes whose first four hold `stored`.
[[noreturn]] void refuse(float stored, std::uint64_t length);

// A ranged handle addresses its block so that index `low` is the block's first element. It is
// formed with integer arithmetic because a pointer before the start of a block is undefined; these
// two are the only places that convert between the handle and the block.
template <typename T> T *offset_handle(T *block, long long low) {
    return reinterpret_cast<T *>( // NOLINT(performance-no-int-to-ptr)
        reinterpret_cast<std::uintptr_t>(block) - static_cast<std::uintptr_t>(low) * sizeof(T));
}

template <typename T> T *block_of(T *handle, long long low) {
    return reinterpret_cast<T *>( // NOLINT(performance-no-int-to-ptr)
        reinterpret_cast<std::uintptr_t>(handle) + static_cast<std::uintptr_t>(low) * sizeof(T));
}

// Bounds are ints, so an inclusive range holds at most 2^32 elements: 64 bits cannot overflow.
inline long long element_count(long long low, long long high) { return high - low + 1; }

// An empty or reversed range asks for zero bytes, which the checked allocators refuse.
inline std::size_t byte_count(long long count, std::size_t element_size) {
    return count > 0 ? static_cast<std::size_t>(count) * element_size : 0;
}

// Releases rows nrl..last and the row-pointer block. The last row is a long long so that a
// matrix that failed before its first row (last = nrl - 1) can be released whatever nrl is.
void release_matrix(float **m, int nrl, long long last, int ncl);

// Moves the row-pointer block of a to cover nrl..new_nrh; out of memory is fatal with `message`.
float **resize_row_pointers(float **a, int nrl, int new_nrh, const char *message);

// Scratch space for gathering rows into large reads and writes: one stdio call per row costs more
// than copying the row. It starts as a small block of its own; work big enough to gain from more
// moves it to a megabyte of heap, when the heap can spare one.
class Staging {
  public:
    static constexpr std::size_t small_size = std::size_t{64} * 1024;

    Staging() = default;
    ~Staging() { std::free(heap_); }
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;

    unsigned char *data() { return heap_ != nullptr ? heap_ : small_; }
    std::size_t size() const { return heap_ != nullptr ? large : small_size; }

    // Moves to the large block, keeping the first `keep` bytes; stays small if none is to be had.
    void enlarge(std::size_t keep) {
        if (heap_ == nullptr) {
            heap_ = static_cast<unsigned char *>(std::malloc(large));
            if (heap_ != nullptr) {
                std::memcpy(heap_, small_, keep);
            }
        }
    }

  private:
    static constexpr std::size_t large = std::size_t{1024} * 1024;
    unsigned char *heap_ = nullptr;
    unsigned char small_[small_size];
};

// Whether floats stored in `order` must have their bytes reversed on this machine.
inline bool needs_swap(byte_order order) {
    return (order == byte_order::big) != (std::endian::native == std::endian::big);
}

inline void swap_floats(float *p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t u = 0;
        std::memcpy(&u, &p[i], 4);
        u = __builtin_bswap32(u);
        std::memcpy(&p[i], &u, 4);
    }
}

// The float stored at p, in native order or reversed.
inline float load_float(const unsigned char *p, bool swap) {
    std::uint32_t u = 0;
    std::memcpy(&u, p, 4);
    if (swap) {
        u = __builtin_bswap32(u);
    }
    float f = 0;
    std::memcpy(&f, &u, 4);
    return f;
}

// Runs work(first, last) over [0, count): from `many` on, the second half on a thread of its own,
// or on this one when no thread can be started. The first failure in order is the one reported.
template <typename Work> void in_two_halves(std::uint64_t count, std::uint64_t many, Work work) {
    if (count < many) {
        work(0, count);
        return;
    }
    const std::uint64_t half = count / 2;
    std::exception_ptr second_failed;
    {
        std::jthread helper;
        try {
            helper = std::jthread([&] {
                try {
                    work(half, count);
                } catch (...) {
                    second_failed = std::current_exception();
                }
            });
        } catch (const std::system_error &) {
            work(0, count);
            return;
        }
        work(0, half);
    } // joined here, even when this half failed: the helper shares what work uses
    if (second_failed) {
        std::rethrow_exception(second_failed);
    }
}

} // namespace binmat::detail
