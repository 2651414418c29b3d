// Typed access to the libc functions the shim hooks or needs unhooked (see real_calls.hpp).
//
// Thread-safety: any thread.
#pragma once

#include <net/if.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "preload/real_calls.hpp"

namespace vcan::real {

using SocketFn = int(int, int, int);
using BindFn = int(int, const sockaddr*, socklen_t);
using ConnectFn = int(int, const sockaddr*, socklen_t);
using SetsockoptFn = int(int, int, int, const void*, socklen_t);
using GetsockoptFn = int(int, int, int, void*, socklen_t*);
using GetnameFn = int(int, sockaddr*, socklen_t*);
using RecvmsgFn = ssize_t(int, msghdr*, int);
using RecvfromFn = ssize_t(int, void*, size_t, int, sockaddr*, socklen_t*);
using RecvmmsgFn = int(int, mmsghdr*, unsigned int, int, struct timespec*);
using ReadFn = ssize_t(int, void*, size_t);
using WriteFn = ssize_t(int, const void*, size_t);
using RecvFn = ssize_t(int, void*, size_t, int);
using SendFn = ssize_t(int, const void*, size_t, int);
using SendtoFn = ssize_t(int, const void*, size_t, int, const sockaddr*, socklen_t);
using SendmsgFn = ssize_t(int, const msghdr*, int);
using CloseFn = int(int);
using CloseRangeFn = int(unsigned int, unsigned int, int);
using DupFn = int(int);
using Dup2Fn = int(int, int);
using Dup3Fn = int(int, int, int);
using FcntlFn = int(int, int, ...);
using IoctlFn = int(int, unsigned long, ...);
using NameToIndexFn = unsigned int(const char*);
using IndexToNameFn = char*(unsigned int, char*);

VCAN_REAL_FUNCTION(socket, SocketFn)
VCAN_REAL_FUNCTION(bind, BindFn)
VCAN_REAL_FUNCTION(connect, ConnectFn)
VCAN_REAL_FUNCTION(setsockopt, SetsockoptFn)
VCAN_REAL_FUNCTION(getsockopt, GetsockoptFn)
VCAN_REAL_FUNCTION(getsockname, GetnameFn)
VCAN_REAL_FUNCTION(getpeername, GetnameFn)
VCAN_REAL_FUNCTION(recvmsg, RecvmsgFn)
VCAN_REAL_FUNCTION(recvfrom, RecvfromFn)
VCAN_REAL_FUNCTION(recvmmsg, RecvmmsgFn)
VCAN_REAL_FUNCTION(read, ReadFn)
VCAN_REAL_FUNCTION(write, WriteFn)
VCAN_REAL_FUNCTION(recv, RecvFn)
VCAN_REAL_FUNCTION(send, SendFn)
VCAN_REAL_FUNCTION(sendto, SendtoFn)
VCAN_REAL_FUNCTION(sendmsg, SendmsgFn)
VCAN_REAL_FUNCTION(close, CloseFn)
VCAN_REAL_FUNCTION(close_range, CloseRangeFn)
VCAN_REAL_FUNCTION(dup, DupFn)
VCAN_REAL_FUNCTION(dup2, Dup2Fn)
VCAN_REAL_FUNCTION(dup3, Dup3Fn)
VCAN_REAL_FUNCTION(fcntl, FcntlFn)
VCAN_REAL_FUNCTION(fcntl64, FcntlFn)
VCAN_REAL_FUNCTION(ioctl, IoctlFn)
VCAN_REAL_FUNCTION(if_nametoindex, NameToIndexFn)
VCAN_REAL_FUNCTION(if_indextoname, IndexToNameFn)

}  // namespace vcan::real
