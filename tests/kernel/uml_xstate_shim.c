/* LD_PRELOAD shim for the User-Mode Linux kernel (linux.uml) on hosts whose XSAVE area is larger
 * than the one UML was built for (AVX-512, AMX).
 *
 * UML saves a guest thread's FPU state with PTRACE_GETREGSET(NT_X86_XSTATE) into a fixed buffer
 * that covers x87, SSE and AVX only (832 bytes), which works: the host truncates. Restoring it
 * with PTRACE_SETREGSET fails with EFAULT, because the host only accepts a whole XSAVE area, and
 * UML then kills the guest's init. This shim completes such a restore: it reads the traced
 * process's whole area, overlays the part UML gave and writes the whole area back. The
 * components beyond UML's buffer keep the values the host process holds (UML never switched them
 * anyway); the guest's init sets GLIBC_TUNABLES so that glibc does not use them.
 *
 * Thread-safety: UML calls ptrace from one host thread at a time; the shim keeps no state. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/uio.h>

enum { k_area_max = 64 * 1024, k_header_offset = 512, k_avx_end = 832 };

typedef long (*ptrace_fn)(int, pid_t, void *, void *);

static ptrace_fn real_ptrace(void)
{
    static ptrace_fn fn;
    if (fn == NULL) {
        fn = (ptrace_fn)dlsym(RTLD_NEXT, "ptrace");
    }
    return fn;
}

static long set_partial_xstate(pid_t pid, const struct iovec *given)
{
    static unsigned char area[k_area_max];
    struct iovec whole = {area, sizeof area};
    long rc = real_ptrace()(PTRACE_GETREGSET, pid, (void *)NT_X86_XSTATE, &whole);
    if (rc < 0) {
        return rc;
    }
    if (given->iov_len >= whole.iov_len || given->iov_len < k_header_offset + 8) {
        return real_ptrace()(PTRACE_SETREGSET, pid, (void *)NT_X86_XSTATE, (void *)given);
    }
    uint64_t held_bv;
    uint64_t given_bv;
    memcpy(&held_bv, area + k_header_offset, sizeof held_bv);
    memcpy(&given_bv, (const unsigned char *)given->iov_base + k_header_offset, sizeof given_bv);
    /* Components wholly inside the given buffer come from it, the others stay as held. */
    const uint64_t given_mask = given->iov_len >= k_avx_end ? 0x7 : 0x3;
    memcpy(area, given->iov_base, given->iov_len);
    uint64_t bv = (given_bv & given_mask) | (held_bv & ~given_mask);
    memcpy(area + k_header_offset, &bv, sizeof bv);
    return real_ptrace()(PTRACE_SETREGSET, pid, (void *)NT_X86_XSTATE, &whole);
}

long ptrace(enum __ptrace_request request, ...)
{
    va_list args;
    va_start(args, request);
    pid_t pid = va_arg(args, pid_t);
    void *addr = va_arg(args, void *);
    void *data = va_arg(args, void *);
    va_end(args);
    if (request == PTRACE_SETREGSET && (uintptr_t)addr == NT_X86_XSTATE && data != NULL) {
        return set_partial_xstate(pid, (const struct iovec *)data);
    }
    return real_ptrace()((int)request, pid, addr, data);
}
