#include "stream.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

InputStream::InputStream(const std::uint8_t *data, std::size_t size, bool through_pipe) {
    if (!through_pipe) {
        // fmemopen refuses an empty buffer; an empty file stands in for empty input.
        file_ = size == 0 ? std::fopen("/dev/null", "rb")
                          : fmemopen(const_cast<std::uint8_t *>(data), size, "rb");
    } else {
        // The reader may stop before the writer is done; the writer then sees EPIPE, not a signal.
        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (pipe(fds) != 0) {
            std::abort();
        }
        writer_ = std::thread([data, size, fd = fds[1]] {
            std::size_t done = 0;
            while (done < size) {
                const ssize_t n = write(fd, data + done, size - done);
                if (n <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(n);
            }
            close(fd);
        });
        file_ = fdopen(fds[0], "rb");
    }
    if (file_ == nullptr) {
        std::abort();
    }
}

InputStream::~InputStream() {
    // Closing the read end first lets a writer blocked on a full pipe finish with EPIPE.
    std::fclose(file_);
    if (writer_.joinable()) {
        writer_.join();
    }
}
