// Fatal-error notice and the Panic exception.
#include "common/panic.hpp"

#include <pthread.h>

#include <cstdio>

namespace velmot {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

void print_panic_notice(const std::string& message, const std::source_location& location) {
    // One fprintf call so that notices of concurrent threads do not interleave mid-line.
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", current_thread_name().c_str(),
                 location.file_name(), static_cast<unsigned>(location.line()),
                 static_cast<unsigned>(location.column()), message.c_str());
    std::fflush(stderr);
}

void panic(std::string message, std::source_location location) {
    print_panic_notice(message, location);
    throw Panic(std::move(message));
}

}  // namespace velmot
