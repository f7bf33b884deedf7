#pragma once
// The one failure type of the platform pieces: an operation the outside world refused,
// with a reason an operator can read.

#include <stdexcept>

namespace platform {

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace platform
