#include <binmat/formats/error.h>

#include <utility>

namespace binmat {

namespace {

std::string message(const std::string &reason, const conversion_error::place &where) {
    return where.line ? "line " + std::to_string(*where.line) + ": " + reason : reason;
}

} // namespace

conversion_error::conversion_error(const std::string &reason, place where, std::string file)
    : std::runtime_error(message(reason, where)), reason_(reason), where_(std::move(where)),
      file_(std::move(file)) {}

} // namespace binmat
