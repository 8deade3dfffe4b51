// Many small reads at offsets far apart in one file, in few system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace binmat::detail {

struct scattered_piece {
    unsigned char *to;
    std::size_t size;
    std::uint64_t at;
};

using piece_at = std::function<scattered_piece(std::size_t)>;

// Reads pieces 0 to count - 1 of the regular file open on fd, a batch to a system call where
// Linux's own asynchronous reads are at hand (and one call each where they are not). With
// cached_only, a piece whose bytes are not in memory is not waited for. Returns, in order, the
// positions of the pieces not read whole, for the caller to read the plain way, which says why
// one cannot be.
std::vector<std::size_t> read_scattered(int fd, std::size_t count, const piece_at &piece,
                                        bool cached_only);

} // namespace binmat::detail
