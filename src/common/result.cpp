// Display forms of OS errors, matching what users of the module see in OSError texts.
#include "common/result.hpp"

#include <cstring>

namespace velmot {

namespace {
std::string describe_errno(int errno_value) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be `buffer`.
    const char* text = strerror_r(errno_value, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(errno_value) + ")";
}

ErrorKind kind_of_errno(int errno_value) {
    switch (errno_value) {
        case ENOENT:
        case ENODEV:
            return ErrorKind::not_found;
        case EPERM:
        case EACCES:
            return ErrorKind::permission;
        case EPIPE:
            return ErrorKind::broken_pipe;
        case EINVAL:
            return ErrorKind::invalid_input;
        default:
            return ErrorKind::os;
    }
}
}  // namespace

Error Error::from_errno(int errno_value) {
    return Error{kind_of_errno(errno_value), describe_errno(errno_value)};
}

Error Error::from_errno(int errno_value, const std::string& context) {
    return Error{kind_of_errno(errno_value), context + ": " + describe_errno(errno_value)};
}

}  // namespace velmot
