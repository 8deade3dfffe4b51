// What the picture engine throws: a picture its options leave no room for, and a grid that
// cannot be drawn or a drawing that fails. The command decides what each means for its status.
#pragma once

#include <stdexcept>

namespace plot {

class picture_options_error : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

class picture_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace plot
