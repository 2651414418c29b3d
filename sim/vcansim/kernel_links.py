"""The kernel's own SocketCAN in place of the simulated bus: `KernelLinks` creates real virtual
CAN links (the `vcan` or `vxcan` kind) with the real `ip`, for test runs on a Linux kernel with
the CAN modules (the User-Mode Linux guest of tests/kernel/run-guest, run as root).

It has the part of `Bus`'s interface that does not depend on the simulation: start/stop, the
context manager, `interfaces` and `env()`. A run is on the kernel's SocketCAN when the environment
has VELMOT_KERNEL_TIER=1 (`kernel_tier()`); the `vcan_bus` fixture then makes these instead of a
simulated bus, and tests of what only the simulation has (its daemon, its statistics, its `ip`
stand-in, links of the `can` kind with a bitrate) carry the `sim_only` marker.

Thread-safety: as `Bus`, one thread drives one object.
"""
import os
import subprocess

from vcansim.bus import KINDS, check_name, shim_loaded


def kernel_tier():
    """True when this process runs on the kernel's SocketCAN instead of the simulated bus."""
    return os.environ.get("VELMOT_KERNEL_TIER") == "1"


def _ip(*args, check=True):
    done = subprocess.run(("ip",) + args, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60)
    if check and done.returncode != 0:
        raise RuntimeError("ip %s failed: %s" % (" ".join(args), done.stderr.strip()))
    return done


class KernelLinks:
    """Fresh kernel links named `interfaces`: any link of that name is deleted first, then each is
    created as `vcan` (kind "can" or "vcan") or as one end of a `vxcan` pair whose peer is
    NAME + "p" (kind "vxcan"), and set up unless up=False. A "can" link becomes a vcan that is up,
    which velmot uses as it is; its bitrate options have no kernel counterpart and are ignored.
    stop() deletes the links (a vxcan's peer goes with it)."""

    def __init__(self, interfaces=("can0",), *, kind="can", up=True, **_sim_only_options):
        if isinstance(interfaces, str):
            interfaces = interfaces.split(",")
        self.interfaces = tuple(interfaces)
        for name in self.interfaces:
            check_name(name)
        if kind not in KINDS:
            raise ValueError("kind must be one of %s, not %r" % (", ".join(KINDS), kind))
        self.kind = kind
        self.up = bool(up)
        self._made = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        for name in self.interfaces:
            _ip("link", "del", "dev", name, check=False)
            if self.kind == "vxcan":
                _ip("link", "add", "dev", name, "type", "vxcan", "peer", "name", name + "p")
                _ip("link", "set", name + "p", "up")  # the link has a carrier once both ends are up
            else:
                _ip("link", "add", "dev", name, "type", "vcan")
            self._made.append(name)
            if self.up:
                _ip("link", "set", name, "up")
        return self

    def stop(self):
        """Deletes the links made; idempotent."""
        made, self._made = self._made, []
        for name in made:
            _ip("link", "del", "dev", name, check=False)

    def env(self, base=None):
        """The environment for a process on these links: `base` (default os.environ) as it is."""
        return dict(os.environ if base is None else base)


def on_can_bus():
    """True when this process's own CAN sockets reach a bus: the simulation's shim is loaded
    (the run started under sim/with-bus), or the run is on the kernel's SocketCAN."""
    return shim_loaded() or kernel_tier()
