// Recognising Asio's operation_aborted in an error code without touching its error category.
//
// Asio's error categories are function-local statics: exit() destroys them while the runtime's
// threads, which run until the process ends, still complete operations and test their codes.
// `ec == asio::error::operation_aborted` calls a member of both categories, so at exit it reads a
// destroyed object. This test compares the value and the category's address only.
//
// Thread-safety: safe from any thread, also while static objects are being destroyed.
#pragma once

#include <asio/error.hpp>

#include <system_error>

namespace velmot::runtime {

inline bool is_operation_aborted(const std::error_code& ec) noexcept {
    return ec.value() == asio::error::operation_aborted &&
           &ec.category() == &asio::error::get_system_category();
}

}  // namespace velmot::runtime
