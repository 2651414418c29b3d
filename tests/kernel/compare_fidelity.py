"""Compares the transcripts of tests/kernel/socket_fidelity.py from the kernel and from the
simulated bus, case by case. A case whose lines differ must be one of KNOWN, the behaviours the
README lists under "Not simulated"; any other difference, or a case missing from one side, fails.

    python3 compare_fidelity.py KERNEL.txt SIM.txt     # exit status 1 on an unexplained difference
"""
import sys

# Case name prefixes whose behaviour the simulation does not reproduce, with the reason.
KNOWN = {
    "recv_own_msgs": "the MSG_CONFIRM/MSG_DONTROUTE marks on received own frames",
    "frame_dlc_above_8": "writes are not checked: the bus drops a malformed frame, no EINVAL",
    "frame_short_write": "writes are not checked: the bus drops a malformed frame, no EINVAL",
    "frame_long_write": "writes are not checked: the bus drops a malformed frame, no EINVAL",
    "send_burst_nonblocking": "a socket's send buffer is small: a non-blocking burst gets EAGAIN",
    "bind_all": "binding to all interfaces (index 0)",
    "link_down": "the link state: a socket on a link that is down still sends and receives",
    "link_deleted_blocked_reader": "ip link del: the link does not go down first, so a waiting reader"
                                   " gets ENODEV at once (the kernel's ENETDOWN comes first)",
    "link_deleted_reader": "ip link del: reads after the one ENODEV fail with EAGAIN",
    "link_deleted": "ip link add: the stand-in cannot create links (with-bus makes them)",
    "link_recreated": "ip link add: the stand-in cannot create links (with-bus makes them)",
}


def parse(path):
    cases = {}
    with open(path, encoding="utf-8") as f:
        for text in f:
            name, _, rest = text.rstrip("\n").partition(": ")
            cases.setdefault(name, []).append(rest)
    return cases


def main(kernel_path, sim_path):
    kernel, sim = parse(kernel_path), parse(sim_path)
    unexplained = 0
    for name in list(kernel) + [n for n in sim if n not in kernel]:
        k, s = kernel.get(name), sim.get(name)
        if k == s:
            print("same       %s: %s" % (name, "; ".join(k)))
            continue
        reason = next((why for prefix, why in KNOWN.items() if name.startswith(prefix)), None)
        print("%s %s\n    kernel:     %s\n    simulation: %s"
              % ("not simul. " if reason else "DIFFERENT  ", name,
                 "; ".join(k) if k else "(no line)", "; ".join(s) if s else "(no line)"))
        if reason:
            print("    (%s)" % reason)
        else:
            unexplained += 1
    print("%d unexplained difference(s)" % unexplained)
    return 1 if unexplained else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: compare_fidelity.py KERNEL.txt SIM.txt")
    sys.exit(main(sys.argv[1], sys.argv[2]))
