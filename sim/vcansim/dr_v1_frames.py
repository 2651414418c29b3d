"""DR v1 frames as a simulated motor driver sees them: configuration frames from the host, the
host's broadcast target frame, the driver's own feedback frame, and the 16-byte Linux
`struct can_frame` that carries them on a CAN socket (and on the simulated bus).

Pure functions and immutable values only; safe from any thread. Runs on CPython and PyPy (nothing
here needs AF_CAN).
"""
import enum
import math
import struct

BROADCAST_DEST = 0xFFFF
CONFIG_MAGIC = b"DR1"
CMD_ENTER_FIRST = 0x73
CMD_ENTER_SECOND = 0x74
CMD_CONTROL = 0xFF
CTL_ENTER = 0x03
CTL_END_SESSION = 0x00
CTL_ZERO = 0x01
CTL_SET_MODE = 0x10  # + mode code

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x7FF
CAN_EFF_MASK = 0x1FFFFFFF
CAN_FRAME_SIZE = 16
_CAN_FRAME = struct.Struct("=IB3x8s")  # can_id, can_dlc, pad/res0/len8_dlc, data[8]


class FocMode(enum.IntEnum):
    CURRENT = 0
    SPEED = 1
    POSITION = 2

    @classmethod
    def parse(cls, text):
        """A mode from its name in any letter case; ValueError for anything else."""
        try:
            return cls[text.upper()]
        except KeyError:
            raise ValueError("unknown mode %r, expected current, speed or position"
                             % text) from None

    @property
    def label(self):
        return self.name.lower()

    @property
    def target_scale(self):
        """Counts per physical unit of a broadcast target value (A, rad/s, rad)."""
        return 10.0 if self is FocMode.SPEED else 100.0


# --- struct can_frame -------------------------------------------------------------------------

def pack_can_frame(can_id, data):
    """16 bytes of `struct can_frame`; identifiers above 0x7FF go out as extended frames."""
    if len(data) > 8:
        raise ValueError("classic CAN carries at most 8 data bytes, got %d" % len(data))
    if can_id > CAN_SFF_MASK:
        can_id = (can_id & CAN_EFF_MASK) | CAN_EFF_FLAG
    return _CAN_FRAME.pack(can_id, len(data), bytes(data))


def unpack_can_frame(raw):
    """(can_id without flag bits, flags, data) of one `struct can_frame`; None if malformed."""
    if len(raw) != CAN_FRAME_SIZE:
        return None
    raw_id, dlc, data = _CAN_FRAME.unpack(raw)
    if dlc > 8:
        return None
    flags = raw_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)
    mask = CAN_EFF_MASK if raw_id & CAN_EFF_FLAG else CAN_SFF_MASK
    return raw_id & mask, flags, data[:dlc]


# --- configuration frames ---------------------------------------------------------------------

def checksum(first_seven):
    """XOR of bytes 0 to 6 of a configuration frame (its byte 7)."""
    value = 0
    for byte in first_seven[:7]:
        value ^= byte
    return value


def build_config_frame(command, destination, ctl):
    """The 8 bytes a host sends; used by tests and example host scripts."""
    head = CONFIG_MAGIC + bytes((command, destination & 0xFF, (destination >> 8) & 0xFF, ctl))
    return head + bytes((checksum(head),))


def is_config_frame(data):
    """Whether a payload claims to be a configuration frame (the "DR1" magic), whatever its
    length: a short or long one is then a malformed configuration frame, not a target frame."""
    return bytes(data[:3]) == CONFIG_MAGIC


class ConfigFrame:
    """A parsed configuration frame; `error` names what is wrong with it, or is None."""
    __slots__ = ("command", "destination", "ctl", "error")

    def __init__(self, command=0, destination=0, ctl=0, error=None):
        self.command, self.destination, self.ctl, self.error = command, destination, ctl, error

    def addresses(self, node_id):
        return self.destination in (BROADCAST_DEST, node_id & 0xFFFF)


def parse_config_frame(data):
    if len(data) != 8:
        return ConfigFrame(error="length %d" % len(data))
    if checksum(data) != data[7]:
        return ConfigFrame(error="checksum %02X, expected %02X" % (data[7], checksum(data)))
    return ConfigFrame(data[3], data[4] | (data[5] << 8), data[6])


# --- broadcast target frame -------------------------------------------------------------------

def target_slot_raw(data, slot):
    """The signed 16-bit little-endian value of one slot (0..3) of an 8-byte target frame."""
    return struct.unpack_from("<h", data, 2 * slot)[0]


def target_value(raw, mode):
    """Physical target (A, rad/s, rad) of a slot value in the given mode."""
    return raw / FocMode(mode).target_scale


def pack_targets(raws):
    """An 8-byte target frame from four signed 16-bit slot values; used by tests and hosts."""
    return struct.pack("<4h", *raws)


# --- feedback frame ---------------------------------------------------------------------------

def _to_i16(value):
    if math.isnan(value):
        return 0
    return int(max(-32768, min(32767, round(value))))


def encode_feedback(position, speed, current):
    """8 bytes: position f32 LE (rad), speed i16 LE in 0.1 rad/s, current i16 LE in 0.01 A.

    Speed and current are rounded to the nearest count and saturated to the i16 range."""
    return struct.pack("<fhh", position, _to_i16(speed * 10.0), _to_i16(current * 100.0))


def decode_feedback(data):
    """(position, speed, current) of an 8-byte feedback payload, as a host decodes it."""
    position, speed, current = struct.unpack("<fhh", bytes(data))
    return position, speed / 10.0, current / 100.0
