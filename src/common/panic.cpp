// Fatal-error notice and the Panic exception.
#include "common/panic.hpp"

#include <pthread.h>

#include "common/console.hpp"

namespace velmot {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

void print_panic_notice(const std::string& message, const std::source_location& location) {
    static constexpr ConsoleKind k_panic_notice_kind{"fatal error notice"};
    // One console write, so that notices of concurrent threads do not interleave mid-line.
    write_stderr(k_panic_notice_kind,
                 "thread '" + current_thread_name() + "' panicked at " + location.file_name() +
                     ":" + std::to_string(location.line()) + ":" +
                     std::to_string(location.column()) + ":\n" + message + "\n");
}

void panic(std::string message, std::source_location location) {
    print_panic_notice(message, location);
    throw Panic(std::move(message));
}

}  // namespace velmot
