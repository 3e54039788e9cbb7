"""The bus's facts, in one table for the package: the version, servo ids, the values the
servos accept, the status flags and what each means, the registers and what each holds,
and the reply time-outs.

Each name is the C header's (include/zavlib.h) without its ``ZAV_`` prefix, with the
header's value; the flags' and registers' explanations are the header's comments.
scripts/check_facts.py compares this module with the header, so write a fact here and
use its name everywhere else in the package.
"""

from __future__ import annotations

import enum
from typing import Dict, NamedTuple, Optional

VERSION = "1.1.0"
"""ZAVLIB_VERSION_MAJOR.MINOR.PATCH of the header these facts were taken from."""

# Servo ids: 0 to ID_MAX share one line; a write to BROADCAST_ID goes to ids 0 to
# BROADCAST_LAST_ID, one after another.
ID_MAX = 31
BROADCAST_ID = 254
"""Servo id that addresses every servo (ids 0 to 30, in turn) in a write."""
BROADCAST_LAST_ID = 30

# Values the servos accept, inclusive.
GOAL_MIN = 3000
GOAL_MAX = 12000
GOAL_CENTER = 7500
PARAM_MIN = 1
PARAM_MAX = 127

# What the readings can hold once converted, inclusive.
SC3_MIN = -63
SC3_MAX = 63
SC4_MIN = -63
SC4_MAX = 127

# Commands (bits 5 to 7 of the command byte, the id in bits 0 to 4) and parameter sub-codes.
CMD_POSITION = 4
CMD_READ_PARAM = 5
CMD_WRITE_PARAM = 6
COMMAND_SHIFT = 5
SUBCODE_SC1 = 1
SUBCODE_SC2 = 2
SUBCODE_SC3 = 3
SUBCODE_SC4 = 4

# Replies: three bytes; the first is the id for a position exchange (servo 0 at exactly
# ID0_ALT_REPLY_BAUD: ID0_ALT_REPLY), READ_REPLY_BASE + id for a parameter read and
# WRITE_REPLY_BASE + id for a parameter write.
REPLY_LENGTH = 3
ID0_ALT_REPLY_BAUD = 115200
ID0_ALT_REPLY = 0x80
READ_REPLY_BASE = 0x20
WRITE_REPLY_BASE = 0x40

# sc3_value: sign and magnitude. sc4_value: (SC4_ORIGIN - v) * SC4_SCALE_NUM /
# SC4_SCALE_DEN + SC4_OFFSET, truncated toward zero.
SC3_SIGN_BIT = 0x40
SC3_MAGNITUDE_MASK = 0x3F
SC4_ORIGIN = 127
SC4_SCALE_NUM = 9
SC4_SCALE_DEN = 11
SC4_OFFSET = 41.55

# Time-outs in ms: a reply may take the time-out offset plus K / baud rate, truncated;
# K is REPLY_K_LONG for position exchanges, parameter writes and sub-code 2 reads,
# REPLY_K_SHORT for sub-code 1, 3 and 4 reads.
DEFAULT_TIMEOUT_OFFSET_MS = 20
REPLY_K_LONG = 60000
REPLY_K_SHORT = 50000
ECHO_TIMEOUT_MS = 50
DEFAULT_BAUD = 115200

PORT_NAME_LENGTH = 30
PACKET_MAX_DATA = 99
SYNC_HEADER_LENGTH = 2
SYNC_MIN_LENGTH = 5
SYNC_MAX_LENGTH = 93
REGISTER_COUNT = 10


class Flag(enum.IntFlag):
    """The bits of the library's status word."""

    ERR_WRITE = 0x0008
    ERR_TIMEOUT = 0x0100
    ERR_PORT = 0x0400
    ERR_REPLY = 0x0800
    ERR_ADDRESS = 0x1000
    ERR_ID = 0x4000
    ERR_HANDLE = 0x8000

    @property
    def meaning(self) -> str:
        """What the flag says went wrong, as the C header puts it."""
        return FLAG_MEANINGS[self]


FLAG_MEANINGS: Dict[Flag, str] = {
    Flag.ERR_WRITE: "a register write was refused or a servo write failed",
    Flag.ERR_TIMEOUT: "a reply did not arrive in full within its time-out",
    Flag.ERR_PORT: "device not open, write failed, or null receive buffer",
    Flag.ERR_REPLY: "reply did not match the request, or zero-length receive",
    Flag.ERR_ADDRESS: "invalid register range, data length or sync-write layout",
    Flag.ERR_ID: "servo id above 31 (and not the broadcast id where allowed)",
    Flag.ERR_HANDLE: "null port handle",
}


class Range(NamedTuple):
    """An inclusive range of values and what people call one of them."""

    what: str
    low: int
    high: int

    def __contains__(self, value: object) -> bool:
        return isinstance(value, int) and self.low <= value <= self.high

    def __str__(self) -> str:
        return f"{self.low} to {self.high}"


ID_RANGE = Range("servo id", 0, ID_MAX)
GOAL_RANGE = Range("goal position", GOAL_MIN, GOAL_MAX)
PARAM_RANGE = Range("parameter", PARAM_MIN, PARAM_MAX)
SC3_RANGE = Range("sc3 reading", SC3_MIN, SC3_MAX)
SC4_RANGE = Range("sc4 reading", SC4_MIN, SC4_MAX)


class Register(enum.IntEnum):
    """The ten-byte register image of a servo, by address.

    ``goal_position`` and ``present_position`` are two bytes (low byte first) and are
    read and written as one integer; ``sc3_value`` and ``sc4_value`` are signed readings.
    Writable: ``torque_enable``, ``goal_position``, ``sc2_value`` and ``sc1_value``.
    What each register holds is its ``meaning``.
    """

    ID = 0
    TORQUE_ENABLE = 1
    GOAL_POSITION = 2
    SC2_VALUE = 4
    SC1_VALUE = 5
    PRESENT_POSITION = 6
    SC3_VALUE = 8
    SC4_VALUE = 9

    @property
    def width(self) -> int:
        """Bytes the register occupies."""
        return 2 if self in (Register.GOAL_POSITION, Register.PRESENT_POSITION) else 1

    @property
    def signed(self) -> bool:
        """Whether the register holds a signed byte."""
        return self in (Register.SC3_VALUE, Register.SC4_VALUE)

    @property
    def writable(self) -> bool:
        """Whether a write reaches the servo (the other registers ignore writes)."""
        return self in (Register.TORQUE_ENABLE, Register.GOAL_POSITION, Register.SC2_VALUE, Register.SC1_VALUE)

    @property
    def range(self) -> Optional[Range]:
        """The values the servos accept (a goal, a parameter) or a reading can hold;
        None where any value of the register's width goes (id, torque_enable, and
        present_position, which is whatever the servo reports)."""
        return _RANGES.get(self)

    @property
    def meaning(self) -> str:
        """What the register holds, as far as the bus defines it (units included)."""
        return MEANINGS[self]


_RANGES: Dict[Register, Range] = {
    Register.GOAL_POSITION: GOAL_RANGE,
    Register.SC2_VALUE: PARAM_RANGE,
    Register.SC1_VALUE: PARAM_RANGE,
    Register.SC3_VALUE: SC3_RANGE,
    Register.SC4_VALUE: SC4_RANGE,
}

MEANINGS: Dict[Register, str] = {
    Register.ID: "The servo's id, 0 to 31; reading it asks the servo for its position.",
    Register.TORQUE_ENABLE: "1 while the servo holds its goal (torque on), 0 once released; writing 1 takes "
                            "hold where the servo stands.",
    Register.GOAL_POSITION: "Where the servo is sent, in the servo's own position units: 3000 and 12000 are "
                            "the ends of the range the servos accept and 7500 its middle; the angle of one "
                            "unit depends on the servo, not on the bus. 0 while released.",
    Register.SC2_VALUE: "Writable parameter of sub-code 2, 1 to 127; what it sets depends on the servo.",
    Register.SC1_VALUE: "Writable parameter of sub-code 1, 1 to 127; what it sets depends on the servo.",
    Register.PRESENT_POSITION: "Where the servo said it stood in its reply to the last position exchange, "
                               "in the units of the goal.",
    Register.SC3_VALUE: "Reading of sub-code 3, -63 to 63 (the servo sends sign and magnitude); what it "
                        "measures depends on the servo.",
    Register.SC4_VALUE: "Reading of sub-code 4, -63 to 127, converted from the servo's byte v as "
                        "(127 - v) * 9 / 11 + 41.55, truncated; what it measures depends on the servo.",
}

# help(zavlib.Register) lists what each register holds.
Register.__doc__ = (Register.__doc__ or "") + "\n    Units and meanings:\n\n" + "\n".join(
    f"    {register.name.lower()} (address {register.value}): {MEANINGS[register]}" for register in Register)


def reply_timeout_ms(offset_ms: int, baudrate: int, k: int = REPLY_K_LONG) -> Optional[int]:
    """The reply time-out the library applies: offset + k / baud rate ms, both taken as
    unsigned 32-bit numbers, truncated. None for a rate of 0, which has none."""
    rate = baudrate & 0xFFFFFFFF
    if rate == 0:
        return None
    return min(int((offset_ms & 0xFFFFFFFF) + k / rate), 0xFFFFFFFF)


def sync_max_servos(width: int) -> int:
    """How many servos one sync write of a register ``width`` bytes wide holds."""
    return (SYNC_MAX_LENGTH - SYNC_HEADER_LENGTH) // (1 + width)
