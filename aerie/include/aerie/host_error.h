// The error of the hosting library: a failure a user can act on.
#pragma once

#include <stdexcept>

namespace aerie {

// A failure a user can act on; what() is one line, without a trailing period.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace aerie
