// Text read a line at a time, numbered from 1, with a UTF-8 byte order mark before the first line
// dropped: what the text formats the command reads have in common. A NUL byte ends the reading
// at once: it is binary data, perhaps without end (/dev/zero), not text.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace binmat {

class line_reader {
  public:
    explicit line_reader(FILE *in) : in_(in) {}

    // The next line, without its line feed; false at the end of the text, and when the input
    // holds a NUL byte (then binary() is true).
    bool next(std::string_view &text) {
        line_.clear();
        for (;;) {
            if (at_ == held_) {
                held_ = std::fread(buffer_, 1, sizeof buffer_, in_);
                at_ = 0;
                if (held_ == 0) {
                    if (line_.empty()) {
                        return false;
                    }
                    break;
                }
            }
            const char *start = buffer_ + at_;
            const auto *end = static_cast<const char *>(std::memchr(start, '\n', held_ - at_));
            const std::size_t n =
                end != nullptr ? static_cast<std::size_t>(end - start) + 1 : held_ - at_;
            if (std::memchr(start, '\0', n) != nullptr) {
                binary_ = true;
                ++number_;
                return false;
            }
            line_.append(start, n);
            at_ += n;
            if (end != nullptr) {
                break;
            }
        }
        ++number_;
        text = line_;
        constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
        if (number_ == 1 && text.starts_with(byte_order_mark)) {
            text.remove_prefix(byte_order_mark.size());
        }
        return true;
    }
    long number() const { return number_; }
    bool binary() const { return binary_; }

  private:
    FILE *in_;
    std::string line_;
    char buffer_[1 << 16];
    std::size_t held_ = 0;
    std::size_t at_ = 0;
    long number_ = 0;
    bool binary_ = false;
};

} // namespace binmat
