// What every format's reader and writer throws for data it refuses: the reason, and where in the
// input it lies (a line of text, a byte offset or a NetCDF variable) when that is known. The file
// is named by whoever opened it; its name is kept here when a reader opened it by path.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace binmat {

class conversion_error : public std::runtime_error {
  public:
    struct place {
        std::optional<std::uint64_t> line;
        std::optional<std::uint64_t> offset;
        std::string variable;
    };

    // what() is "line N: REASON" for a line, else the reason alone.
    explicit conversion_error(const std::string &reason, place where = {}, std::string file = {});

    const std::string &reason() const noexcept { return reason_; }
    const place &where() const noexcept { return where_; }
    const std::string &file() const noexcept { return file_; }

  private:
    std::string reason_;
    place where_;
    std::string file_;
};

} // namespace binmat
