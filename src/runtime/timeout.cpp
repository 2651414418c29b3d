// Non-template parts of timeout.
#include "runtime/timeout.hpp"

namespace velmot::runtime {

Error deadline_elapsed_error() {
    return Error{ErrorKind::timeout, "deadline has elapsed"};
}

bool is_operation_aborted(const std::exception_ptr& error) {
    if (!error) {
        return false;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        return is_operation_aborted(e.code());
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace velmot::runtime
