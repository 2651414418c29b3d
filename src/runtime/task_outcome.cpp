// Outcome conversions shared by tasks and blocking jobs.
#include "runtime/task_outcome.hpp"

namespace velmot::runtime {

Error cancelled_error() {
    return Error{ErrorKind::runtime, "task was cancelled"};
}

std::exception_ptr escaped_as_panic(const std::exception& escaped, std::source_location location) {
    print_panic_notice(escaped.what(), location);
    return std::make_exception_ptr(Panic(escaped.what()));
}

}  // namespace velmot::runtime
