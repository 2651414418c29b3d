// Fatal errors: a broken invariant or an unrecoverable condition (the runtime cannot be built, a
// thread cannot start). `panic` prints a notice naming the thread, the source location and the
// message to stderr, then throws `Panic`. Entry points of the Python module catch it and raise
// PanicException; runtime tasks and timer ticks end with it. `Panic` is the only C++ exception that
// may cross a layer.
//
// Thread-safety: `panic` may be called from any thread.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace velmot {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

// Prints "thread '<name>' panicked at <file>:<line>:<column>:\n<message>" to stderr (through the
// console writer: it never waits for stderr), throws Panic.
[[noreturn]] void panic(std::string message,
                        std::source_location location = std::source_location::current());

// Prints the fatal-error notice without throwing (used where a panic is only reported).
void print_panic_notice(const std::string& message, const std::source_location& location);

// The name of the calling thread as the OS knows it ("<unnamed>" when it has none).
std::string current_thread_name();

}  // namespace velmot
