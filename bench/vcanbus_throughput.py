"""Throughput of the virtual CAN bus: frames per second forwarded by vcanbusd between three
clients, and the drops the daemon counted. Clients are a small C program (compiled here with cc)
that uses plain SocketCAN calls through the LD_PRELOAD shim, batched with sendmmsg/recvmmsg as a
fast CAN application would. Prints results; asserts nothing.

Scenarios: one writer and two readers; three clients that each write and read."""
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))
from vcansim.bus import Bus  # noqa: E402

FRAMES = int(os.environ.get("VCANBUS_FRAMES", "1000000"))

HELPER = r'''
#define _GNU_SOURCE
#include <linux/can.h>
#include <net/if.h>
#include <pthread.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
enum { BATCH = 64 };
static int open_can(const char* name) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    struct sockaddr_can a = {.can_family = AF_CAN, .can_ifindex = (int)if_nametoindex(name)};
    if (s < 0 || bind(s, (struct sockaddr*)&a, sizeof a) != 0) { perror("can"); exit(1); }
    return s;
}
static long writes;
static void* writer(void* arg) {
    int s = *(int*)arg;
    struct can_frame f[BATCH]; struct iovec v[BATCH]; struct mmsghdr m[BATCH];
    memset(f, 0, sizeof f); memset(m, 0, sizeof m);
    for (int i = 0; i < BATCH; ++i) {
        f[i].can_id = 0x100 + i; f[i].can_dlc = 8;
        v[i].iov_base = &f[i]; v[i].iov_len = sizeof f[i];
        m[i].msg_hdr.msg_iov = &v[i]; m[i].msg_hdr.msg_iovlen = 1;
    }
    for (long sent = 0; sent < writes;) {
        int n = (int)(writes - sent < BATCH ? writes - sent : BATCH);
        int r = sendmmsg(s, m, n, 0);
        if (r < 0) { perror("sendmmsg"); exit(1); }
        sent += r;
    }
    return NULL;
}
int main(int argc, char** argv) {
    int s = open_can(argv[1]);
    writes = atol(argv[2]);
    long want = atol(argv[3]);
    printf("ready\n"); fflush(stdout);
    if (getchar() == EOF) return 1;  /* start signal */
    pthread_t t;
    if (writes > 0) pthread_create(&t, NULL, writer, &s);
    struct can_frame f[BATCH]; struct iovec v[BATCH]; struct mmsghdr m[BATCH];
    memset(m, 0, sizeof m);
    for (int i = 0; i < BATCH; ++i) {
        v[i].iov_base = &f[i]; v[i].iov_len = sizeof f[i];
        m[i].msg_hdr.msg_iov = &v[i]; m[i].msg_hdr.msg_iovlen = 1;
    }
    long got = 0;
    while (got < want) {
        struct pollfd p = {s, POLLIN, 0};
        if (poll(&p, 1, 5000) == 0) break;  /* idle: the rest was lost */
        int r = recvmmsg(s, m, BATCH, MSG_DONTWAIT, NULL);
        if (r > 0) got += r;
    }
    if (writes > 0) pthread_join(t, NULL);
    printf("%ld\n", got);
    return 0;
}
'''


def build_helper(workdir):
    source = os.path.join(workdir, "can_peer.c")
    binary = os.path.join(workdir, "can_peer")
    with open(source, "w") as f:
        f.write(HELPER)
    subprocess.run(["cc", "-O2", "-pthread", "-o", binary, source], check=True)
    return binary


def run(helper, title, plan):
    """plan: one (frames to write, frames to read) pair per client."""
    with Bus(("can0",)) as bus:
        procs = [subprocess.Popen([helper, "can0", str(w), str(r)], env=bus.env(), text=True,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                 for w, r in plan]
        for p in procs:
            assert p.stdout.readline() == "ready\n"
        start = time.perf_counter()
        for p in procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        received = [int(p.communicate()[0]) for p in procs]
        elapsed = time.perf_counter() - start
        clients = bus.stats()["interfaces"]["can0"]["clients"]
    written = sum(w for w, _ in plan)
    delivered = sum(c["delivered"] for c in clients)
    dropped = sum(c["dropped"] for c in clients)
    print("%s: %d frames written in %.2f s: %.0f frames/s forwarded, %.0f deliveries/s; "
          "received %s of %s; daemon counted delivered=%d dropped=%d"
          % (title, written, elapsed, written / elapsed, delivered / elapsed, received,
             [r for _, r in plan], delivered, dropped))


def main():
    with tempfile.TemporaryDirectory() as workdir:
        helper = build_helper(workdir)
        n = FRAMES
        run(helper, "1 writer, 2 readers", [(n, 0), (0, n), (0, n)])
        third = n // 3
        run(helper, "3 clients writing and reading", [(third, 2 * third)] * 3)


if __name__ == "__main__":
    main()
