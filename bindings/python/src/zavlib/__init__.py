"""Drive serial-bus servo motors (ids 0 to 31 on one serial line) through the zavlib library.

    import zavlib

    with zavlib.Port("/dev/ttyUSB0") as port:        # or "COM3"
        print(port.scan())                           # ids of the servos that answer
        port.move(1, 4000)                           # take hold and send a goal position
        print(port.read(1, "present_position"))
        port.play(zavlib.Motion.load("wave.json"))   # poses on a timeline, played on a fixed tick

Every failure raises ZavError, which carries the library's status word (``flags``), its
flags by name (``flag_names``), the servo id and the call. The native library is found
through the ZAVLIB_LIBRARY environment variable (a path), then a copy bundled with the
package, then the system's loader (libzavlib.so.1; zavlib_x64.dll or zavlib_x32.dll on
Windows, by the interpreter's bitness).

The bus's facts (ranges, flags, registers and what each holds) are one table,
``zavlib._facts``; the names people need are here: ``GOAL_RANGE``, ``PARAM_RANGE``,
``Register.GOAL_POSITION.meaning``, ``Flag.ERR_TIMEOUT.meaning`` and so on.
"""

from ._facts import (
    BROADCAST_ID,
    GOAL_CENTER,
    GOAL_MAX,
    GOAL_MIN,
    GOAL_RANGE,
    ID_MAX,
    ID_RANGE,
    PARAM_MAX,
    PARAM_MIN,
    PARAM_RANGE,
    VERSION,
    Flag,
    Range,
    Register,
    sync_max_servos,
)
from ._port import (
    ERR_ADDRESS,
    ERR_HANDLE,
    ERR_ID,
    ERR_PORT,
    ERR_REPLY,
    ERR_TIMEOUT,
    ERR_WRITE,
    Port,
    ZavError,
    clock,
    flag_names,
)
from ._motion import Keyframe, Motion, MotionError, PlayReport

__version__ = VERSION

__all__ = [
    "BROADCAST_ID",
    "ERR_ADDRESS",
    "ERR_HANDLE",
    "ERR_ID",
    "ERR_PORT",
    "ERR_REPLY",
    "ERR_TIMEOUT",
    "ERR_WRITE",
    "Flag",
    "GOAL_CENTER",
    "GOAL_MAX",
    "GOAL_MIN",
    "GOAL_RANGE",
    "ID_MAX",
    "ID_RANGE",
    "Keyframe",
    "Motion",
    "MotionError",
    "PARAM_MAX",
    "PARAM_MIN",
    "PARAM_RANGE",
    "PlayReport",
    "Port",
    "Range",
    "Register",
    "ZavError",
    "clock",
    "flag_names",
    "sync_max_servos",
]
