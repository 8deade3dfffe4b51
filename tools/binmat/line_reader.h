// Text read a line at a time, numbered from 1, with a UTF-8 byte order mark before the first line
// dropped: what the text formats the command reads have in common.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace cli {

class line_reader {
  public:
    explicit line_reader(FILE *in) : in_(in) {}
    ~line_reader() { std::free(line_); }
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;

    bool next(std::string_view &text) {
        const ssize_t length = getline(&line_, &capacity_, in_);
        if (length < 0) {
            return false;
        }
        ++number_;
        text = std::string_view(line_, static_cast<std::size_t>(length));
        constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
        if (number_ == 1 && text.starts_with(byte_order_mark)) {
            text.remove_prefix(byte_order_mark.size());
        }
        return true;
    }
    long number() const { return number_; }

  private:
    FILE *in_;
    char *line_ = nullptr;
    std::size_t capacity_ = 0;
    long number_ = 0;
};

} // namespace cli
