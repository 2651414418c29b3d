// The common head of every object the daemon registers with epoll; the epoll data pointer points
// at it and `kind` says what it is.
//
// Thread-safety: daemon thread only.
#pragma once

namespace vcan {

struct Watched {
    enum class Kind { listener, client, control, admin, signal };
    Kind kind;
};

}  // namespace vcan
