"""Ports, registers and errors: the Python face of the library."""

from __future__ import annotations

import collections.abc
import ctypes
import operator
import os
import re
import stat
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, Optional, Tuple, Union

from . import _native
from ._facts import (BROADCAST_ID, DEFAULT_BAUD, DEFAULT_TIMEOUT_OFFSET_MS, GOAL_RANGE, ID_MAX, ID_RANGE,
                     PORT_NAME_LENGTH, REGISTER_COUNT, Flag, Register, reply_timeout_ms, sync_max_servos)

if TYPE_CHECKING:
    from ._motion import Motion, PlayReport

ERR_WRITE = Flag.ERR_WRITE
ERR_TIMEOUT = Flag.ERR_TIMEOUT
ERR_PORT = Flag.ERR_PORT
ERR_REPLY = Flag.ERR_REPLY
ERR_ADDRESS = Flag.ERR_ADDRESS
ERR_ID = Flag.ERR_ID
ERR_HANDLE = Flag.ERR_HANDLE


def flag_names(flags: int) -> List[str]:
    """The names of the flags set in a status word, lowest bit first (unknown bits in hex)."""
    names = []
    for bit in range(16):
        if flags & (1 << bit):
            try:
                names.append(Flag(1 << bit).name or "")
            except ValueError:
                names.append(f"0x{1 << bit:04X}")
    return names


RegisterLike = Union[Register, str, int]


class ZavError(Exception):
    """A library call failed.

    ``flags`` is the library's status word (0 where the call reports none, as when a
    port cannot be opened), ``flag_names`` its flags by name, ``servo_id`` the servo the
    call addressed (None when it addressed none or several), ``call`` the call as it was
    written, and ``partial`` is True when the library carried out part of the request
    before a servo failed (a broadcast or sync write stops at the first servo that fails,
    and the servos before it keep what was written).

    Arguments that cannot even be handed to the library (a value that does not fit
    the C argument, an unknown register name) raise ZavError with the flag the library
    uses for that argument (ERR_ID, ERR_ADDRESS or ERR_WRITE), before anything is sent.
    """

    def __init__(self, message: str, *, flags: int = 0, servo_id: Optional[int] = None, call: str = "",
                 partial: bool = False, received: bytes = b"") -> None:
        super().__init__(message)
        self.flags = int(flags)
        self.servo_id = servo_id
        self.call = call
        self.partial = partial
        self.received = received  # the bytes that did arrive, for a raw receive that fell short

    @property
    def flag_names(self) -> List[str]:
        """The flags of ``flags`` by name, e.g. ``["ERR_TIMEOUT"]``."""
        return flag_names(self.flags)


_REGISTERS_TEXT = f"registers are 0 to {REGISTER_COUNT - 1}"


def _explain(flags: int, servo_id: Optional[int], timeout_ms: Optional[int],
             address_reason: str = f"the register range or the data is not valid ({_REGISTERS_TEXT})",
             write_reason: str = "the write was refused") -> str:
    servo = "one of the servos" if servo_id in (None, BROADCAST_ID) else f"servo {servo_id}"
    within = f"within {timeout_ms} ms" if timeout_ms is not None else "within its time-out"
    reasons = [
        (ERR_HANDLE, "the port is closed"),
        (ERR_ID, f"servo ids are {ID_RANGE} ({BROADCAST_ID} addresses all in a write)"),
        (ERR_ADDRESS, address_reason),
        (ERR_PORT, "the port could not be written to (is the adapter still connected?)"),
        (ERR_TIMEOUT, f"no reply from {servo} {within}"),
        (ERR_REPLY, f"{servo} answered, but the reply did not match the request "
                    "(wrong baud rate, or another device on the line?)"),
        # With a transport or reply flag, the servo did not confirm the write;
        # alone, the library refused it (write_reason names the range broken).
        (ERR_WRITE, "so the write was not carried out" if flags & (ERR_TIMEOUT | ERR_REPLY | ERR_PORT)
         else write_reason),
    ]
    return "; ".join(text for flag, text in reasons if flags & flag) or "the request did not succeed"


def _fit(value: Any, bits: int, what: str, flag: int, call: str, servo_id: Optional[int] = None,
         signed: bool = False) -> int:
    """value as an int that the C argument of that many bits holds unchanged."""
    number = operator.index(value)  # TypeError for what is not an integer
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    if not low <= number <= high:
        names = f" [{' | '.join(flag_names(flag))}]" if flag else ""
        raise ZavError(f"{call} failed: {what} {number} is outside {low} to {high}{names}",
                       flags=flag, servo_id=servo_id, call=call)
    return number


def _write_reason(register: int, values: Iterable[int]) -> str:
    """Why the library refuses a write of these values to a register: the one range that
    the first value outside it breaks."""
    try:
        accepted = Register(register).range
    except ValueError:
        accepted = None
    for value in values:
        if accepted is not None and value not in accepted:
            return f"{Register(register).name.lower()} takes {accepted}, not {value}"
    return "the write was refused"


def _servo_ids(ids: Union[int, Iterable[int]]) -> List[int]:
    """One id or several, as a list."""
    if isinstance(ids, collections.abc.Iterable):
        return [operator.index(servo) for servo in ids]
    return [operator.index(ids)]


def _register(register: RegisterLike, call: str) -> Tuple[int, int, bool]:
    """(address, width, signed) of a register given by Register, name or address."""
    if isinstance(register, str):
        try:
            register = Register[register.upper()]
        except KeyError:
            names = ", ".join(r.name.lower() for r in Register)
            raise ZavError(f"{call} failed: unknown register {register!r} (registers: {names}) [ERR_ADDRESS]",
                           flags=ERR_ADDRESS, call=call) from None
    address = _fit(register, 8, "register address", ERR_ADDRESS, call)
    try:
        named = Register(address)
    except ValueError:
        return address, 1, False  # another byte of the image; the library decides
    return address, named.width, named.signed


# The library closes an earlier port when the same device name is opened again (it
# compares the name it stored, at most 30 bytes). The Port objects of this process are
# kept here so that such a Port forgets its handle instead of using a freed one.
_ports: "weakref.WeakValueDictionary[bytes, Port]" = weakref.WeakValueDictionary()
_ports_lock = threading.RLock()  # close() from a finalizer may run while it is held
_echo_cancel = True


class Port:
    """A serial port with servos on it, opened on creation and closed by ``close()`` or ``with``.

    ``device`` is the serial device (``"/dev/ttyUSB0"``, ``"COM3"``), ``baudrate`` its rate.
    Every method runs on the calling thread and returns within the reply time-outs of the
    exchanges it makes; failures raise ZavError.

    What to know about the library underneath:

    - A new Port knows nothing about the servos: it starts with every servo marked
      released, and its first position exchange (a ping, or a read of
      ``present_position`` or ``id``) sends that state, which releases a servo that
      another program left holding torque. Keep a session in one Port.
    - A goal position written to a released servo is dropped. Take hold first: write
      ``torque_enable`` 1 (the servo holds where it stands), or use ``move()``.
    - Opening a device that is already open in this process closes the earlier Port.
    - The library serialises servo calls made on one Port from several threads; raw
      ``tx``/``rx`` it does not, so serialise those yourself. Never close a Port while
      another thread uses it.
    """

    def __init__(self, device: Union[str, "os.PathLike[str]"], baudrate: int = DEFAULT_BAUD) -> None:
        self._handle: Optional[int] = None
        self._device = os.fspath(device)
        self._name = os.fsencode(self._device)
        call = f"Port({self._device!r}, {baudrate!r})"
        self._baudrate = _fit(baudrate, 32, "baudrate", 0, call, signed=True)
        self._timeout_offset = DEFAULT_TIMEOUT_OFFSET_MS
        if b"\0" in self._name:
            raise ZavError(f"{call} failed: the device name contains a NUL character", call=call)
        library = _library(call)
        with _ports_lock:
            earlier = _ports.get(self._name)
            if earlier is not None and len(self._name) <= PORT_NAME_LENGTH and self._baudrate != 0:
                earlier._handle = None  # the library closes it as part of this open (a rate of 0 it refuses first)
            handle = library.ZAV_OpenPort(self._name, self._baudrate)
            if not handle:
                raise ZavError(f"{call} failed: cannot open {self._device}: {self._why_open_failed()}", call=call)
            self._handle = handle
            _ports[self._name] = self

    def _why_open_failed(self) -> str:
        if self._baudrate == 0:
            return "the baud rate must not be 0"
        if "?" in self._device or re.match(r"[A-Za-z][A-Za-z0-9+.-]+:(?!\\)", self._device) and \
                not re.fullmatch(r"COM[0-9]+:", self._device, re.IGNORECASE):
            return ("the library does not take this device name, its options or the file it names "
                    "(a device such as sim:0-5 or replay:FILE, options after '?': see the README's device names)")
        if os.name == "posix":
            try:
                mode = os.stat(self._device).st_mode
            except OSError:
                return "no such device"
            if not stat.S_ISCHR(mode):
                return "it is not a serial device"
        return "the port is held by another program, or it is not a serial port"

    # --- life cycle -----------------------------------------------------------------

    def close(self) -> None:
        """Closes the port. Closing a closed port does nothing."""
        with _ports_lock:
            handle, self._handle = self._handle, None
            if handle is not None:
                _native.library().ZAV_ClosePort(handle)
                if _ports.get(self._name) is self:
                    del _ports[self._name]

    def __enter__(self) -> "Port":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown: the modules may be gone already
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<zavlib.Port {self._device!r} {self._baudrate} baud, {state}>"

    @property
    def closed(self) -> bool:
        """True once the port is closed (by ``close()``, or by another Port of the same device)."""
        return self._handle is None

    @property
    def device(self) -> str:
        """The device name given when opening."""
        return self._device

    @property
    def active(self) -> bool:
        """Whether the device still answers a query of its line settings (False once unplugged or closed)."""
        return self._handle is not None and bool(_native.library().ZAV_Active(self._handle))

    # --- settings -------------------------------------------------------------------

    @property
    def baudrate(self) -> int:
        """The line's baud rate. Setting it raises ZavError if the device refuses the rate;
        the reply time-outs follow the new rate even then."""
        return self._baudrate

    @baudrate.setter
    def baudrate(self, rate: int) -> None:
        call = f"port.baudrate = {rate!r}"
        rate = _fit(rate, 32, "baudrate", 0, call, signed=True)
        accepted = _native.library().ZAV_SetBaudrate(self._handle, rate)
        if self._handle is not None and rate != 0:
            self._baudrate = rate  # the library keeps a refused rate too
        if not accepted:
            reason = ("the port is closed" if self._handle is None else "the baud rate must not be 0" if rate == 0
                      else f"the device refused {rate} baud")
            raise ZavError(f"{call} failed: {reason}", call=call)

    @property
    def timeout_offset(self) -> int:
        """Milliseconds added to every reply time-out (DEFAULT_TIMEOUT_OFFSET_MS, 20, after
        opening); the time-out of a position exchange is this offset plus REPLY_K_LONG
        (60000) / baud rate, truncated: 20 ms at 115200 baud."""
        return self._timeout_offset

    @timeout_offset.setter
    def timeout_offset(self, milliseconds: int) -> None:
        call = f"port.timeout_offset = {milliseconds!r}"
        value = _fit(milliseconds, 32, "time-out offset", 0, call, signed=True)
        if self._handle is None:
            raise ZavError(f"{call} failed: the port is closed [ERR_HANDLE]", flags=ERR_HANDLE, call=call)
        _native.library().ZAV_SetTimeOutOffset(self._handle, value)
        self._timeout_offset = value

    @property
    def echo_cancel(self) -> bool:
        """Whether each sent packet's echo is read back and discarded (on by default, as a
        one-wire bus echoes every byte). Turn it off for a line without echo. This switch
        is one for the whole process: it applies to every port at once."""
        return _echo_cancel

    @echo_cancel.setter
    def echo_cancel(self, enabled: bool) -> None:
        global _echo_cancel
        _native.library().ZAV_SetEchoCancel(1 if enabled else 0)
        _echo_cancel = bool(enabled)

    def reply_timeout_ms(self) -> Optional[int]:
        """The reply time-out of a position exchange at the current settings, in ms."""
        if self._baudrate <= 0 or self._timeout_offset < 0:
            return None
        return reply_timeout_ms(self._timeout_offset, self._baudrate)

    # --- calling the library ---------------------------------------------------------

    def _run(self, function: Any, *arguments: Any) -> Tuple[bool, int]:
        status = ctypes.c_uint16(0)
        ok = function(self._handle, *arguments, ctypes.byref(status))
        return bool(ok), status.value

    def _check(self, ok: bool, status: int, call: str, servo_id: Optional[int], **reasons: str) -> None:
        """Raises unless the call succeeded with an empty status word; a success with flags
        left in the word (a broadcast or sync write that stopped at a failing servo, or a
        block write whose earlier step failed) is a partial failure."""
        if ok and status == 0:
            return
        partial = ok
        text = _explain(status, servo_id, self.reply_timeout_ms(), **reasons)
        if partial:
            text += "; what came before the failure was written"
        raise ZavError(f"{call} failed on {self._device}: {text} [{' | '.join(flag_names(status)) or 'no flags'}]",
                       flags=status, servo_id=servo_id, call=call, partial=partial)

    # --- servos ---------------------------------------------------------------------

    def ping(self, id: int) -> bool:
        """Whether servo ``id`` (0 to 31) answers. False when it does not answer in time;
        anything else that goes wrong raises ZavError. A ping is a position exchange: it
        sends a held servo its goal again and a released servo the released state."""
        call = f"ping({id!r})"
        target = _fit(id, 8, "servo id", ERR_ID, call, id)
        ok, status = self._run(_native.library().ZAV_Ping, target)
        if not ok and status == ERR_TIMEOUT:
            return False
        self._check(ok, status, call, target)
        return True

    def scan(self) -> List[int]:
        """The ids 0 to 31 whose servos answer a ping, in ascending order."""
        return [servo for servo in range(ID_MAX + 1) if self.ping(servo)]

    def read(self, id: int, register: RegisterLike) -> int:
        """The value of a register of servo ``id``: a Register, a name such as
        ``"present_position"``, or an address. Reading ``present_position`` (or ``id``)
        asks the servo for its position; reading ``goal_position`` or ``torque_enable``
        returns what the library last sent, without bus traffic."""
        call = f"read({id!r}, {register!r})"
        target = _fit(id, 8, "servo id", ERR_ID, call, id)
        address, width, signed = _register(register, call)
        library = _native.library()
        if width == 2:
            word = ctypes.c_uint16(0)
            ok, status = self._run(library.ZAV_ReadWordData, target, address, ctypes.byref(word))
            self._check(ok, status, call, target)
            return word.value
        byte = ctypes.c_uint8(0)
        ok, status = self._run(library.ZAV_ReadByteData, target, address, ctypes.byref(byte))
        self._check(ok, status, call, target)
        return byte.value - 256 if signed and byte.value > 127 else byte.value

    def write(self, id: int, register: RegisterLike, value: int) -> None:
        """Writes a register of servo ``id`` (or of every servo, with BROADCAST_ID).

        ``torque_enable`` 1 takes hold where the servo stands and 0 releases it;
        ``goal_position`` (3000 to 12000) moves a servo that holds torque and is dropped
        for a released one; ``sc2_value`` and ``sc1_value`` take 1 to 127.
        """
        call = f"write({id!r}, {register!r}, {value!r})"
        target = _fit(id, 8, "servo id", ERR_ID, call, id)
        address, width, _ = _register(register, call)
        number = _fit(value, 8 * width, "value", ERR_WRITE, call, target)
        library = _native.library()
        function = library.ZAV_WriteWordData if width == 2 else library.ZAV_WriteByteData
        ok, status = self._run(function, target, address, number)
        self._check(ok, status, call, target, write_reason=_write_reason(address, [number]))

    def move(self, id: int, goal: int) -> None:
        """Takes hold of servo ``id`` (or every servo, with BROADCAST_ID) and sends it the
        goal position (GOAL_RANGE, 3000 to 12000), in one write of torque_enable and
        goal_position. A goal outside the range raises ZavError (ERR_WRITE) before anything
        is sent, so the servo is left as it was.

        The servo then travels: ``read(id, "present_position")`` right after ``move`` tells
        where it still is. ``wait_until_arrived(id)`` waits until it is there."""
        call = f"move({id!r}, {goal!r})"
        target = _fit(id, 8, "servo id", ERR_ID, call, id)
        position = operator.index(goal)
        if position not in GOAL_RANGE:
            raise ZavError(f"{call} failed: a {GOAL_RANGE.what} takes {GOAL_RANGE}, not {position}; nothing was sent "
                           "[ERR_WRITE]", flags=ERR_WRITE, servo_id=target, call=call)
        self._write_block(call, target, Register.TORQUE_ENABLE, bytes([1]) + position.to_bytes(2, "little"))

    def hold(self, ids: Union[int, Iterable[int]]) -> None:
        """Takes hold of servos (torque on) where they stand: one id or several."""
        self._torque(ids, 1, "hold")

    def release(self, ids: Union[int, Iterable[int]]) -> None:
        """Releases servos (torque off): one id or several. Every servo named is tried; if
        any fails, ZavError for the first that failed is raised once all were tried."""
        self._torque(ids, 0, "release")

    def _torque(self, ids: Union[int, Iterable[int]], value: int, name: str) -> None:
        servos = _servo_ids(ids)
        call = f"{name}({ids!r})"
        failures: List[ZavError] = []
        for servo in servos:
            target = _fit(servo, 8, "servo id", ERR_ID, call, servo)
            ok, status = self._run(_native.library().ZAV_WriteByteData, target, Register.TORQUE_ENABLE, value)
            try:
                self._check(ok, status, call, target)
            except ZavError as error:
                failures.append(error)
        if failures:
            first = failures[0]
            if len(failures) > 1:
                others = ", ".join(str(error.servo_id) for error in failures[1:])
                first.args = (f"{first.args[0]}; servos {others} failed too",)
            raise first

    def wait_until_arrived(self, ids: Union[int, Iterable[int]], timeout: float = 10.0, tolerance: int = 10,
                           interval: float = 0.02) -> Dict[int, int]:
        """Waits until every servo named (one id or several) stands within ``tolerance`` of
        its goal, reading their present positions every ``interval`` seconds, as
        ``zavctl watch --until-arrived`` does. Returns the present positions.

        Raises ZavError when they are not all there within ``timeout`` seconds (naming
        where each one stands), when a servo does not answer, and at once for a servo that
        is released: it has no goal to arrive at (move() takes hold and sends one)."""
        servos = _servo_ids(ids)
        call = f"wait_until_arrived({ids!r}, {timeout!r})"
        goals: Dict[int, int] = {}
        for servo in servos:
            if not self.read(servo, Register.TORQUE_ENABLE):  # the library's image: no bus traffic
                raise ZavError(f"{call} failed: servo {servo} is released (torque off), so it has no goal to arrive "
                               "at; move() takes hold and sends one", servo_id=servo, call=call)
            goals[servo] = self.read(servo, Register.GOAL_POSITION)
        deadline = time.monotonic() + timeout
        while True:
            present = {servo: self.read(servo, Register.PRESENT_POSITION) for servo in servos}
            away = [servo for servo in servos if abs(present[servo] - goals[servo]) > tolerance]
            if not away:
                return present
            if time.monotonic() >= deadline:
                where = ", ".join(f"servo {servo} at {present[servo]}, goal {goals[servo]}" for servo in away)
                raise ZavError(f"{call} failed: not arrived within {timeout} s: {where}",
                               servo_id=away[0] if len(away) == 1 else None, call=call)
            time.sleep(interval)

    def sync_write(self, register: RegisterLike, values: Mapping[int, int]) -> None:
        """Writes one register of several servos in one call, ``{id: value, ...}`` in
        order, under one lock: for example goal positions of servos that hold torque
        (a released servo drops its goal). The library stops at the first servo that
        fails; the ones before it keep their new value (ZavError with ``partial`` True).
        The library takes 1 to 30 servos of a two-byte register; it refuses a block of
        one-byte records (torque_enable, sc2_value, sc1_value) for its shape
        (ERR_ADDRESS), so write those servo by servo."""
        call = f"sync_write({register!r}, {dict(values)!r})"
        address, width, _ = _register(register, call)
        block = bytearray([address, width])
        numbers = []
        for servo, value in values.items():
            block.append(_fit(servo, 8, "servo id", ERR_ID, call, servo))
            numbers.append(_fit(value, 8 * width, "value", ERR_WRITE, call, servo))
            block += numbers[-1].to_bytes(width, "little")
        data = _native.byte_array(block)
        ok, status = self._run(_native.library().ZAV_WriteSyncData, data, len(block))
        shape = f"one sync write takes 1 to {sync_max_servos(2)} servos of a two-byte register ({_REGISTERS_TEXT})"
        self._check(ok, status, call, None, address_reason=shape, write_reason=_write_reason(address, numbers))

    def read_block(self, id: int, address: int, length: int) -> bytes:
        """The raw bytes of ``length`` registers from ``address`` of servo ``id``'s image,
        refreshed from the servo as a block read does."""
        call = f"read_block({id!r}, {address!r}, {length!r})"
        target = _fit(id, 8, "servo id", ERR_ID, call, id)
        start = _fit(address, 8, "register address", ERR_ADDRESS, call, target)
        count = _fit(length, 32, "length", ERR_ADDRESS, call, target)
        buffer = _native.byte_array(b"", size=min(count, REGISTER_COUNT))  # longer ranges are refused
        ok, status = self._run(_native.library().ZAV_ReadBlockData, target, start, buffer, count)
        self._check(ok, status, call, target)
        return bytes(buffer[:count])

    def write_block(self, id: int, address: int, data: bytes) -> None:
        """Writes raw register bytes from ``address`` to servo ``id`` (or every servo)."""
        call = f"write_block({id!r}, {address!r}, {bytes(data)!r})"
        target = _fit(id, 8, "servo id", ERR_ID, call, id)
        start = _fit(address, 8, "register address", ERR_ADDRESS, call, target)
        self._write_block(call, target, start, bytes(data))

    def _write_block(self, call: str, target: int, address: int, data: bytes) -> None:
        ok, status = self._run(_native.library().ZAV_WriteBlockData, target, address, _native.byte_array(data),
                               len(data))
        self._check(ok, status, call, target)

    # --- motions (the engine is in _motion.py) -------------------------------------------

    def play(self, motion: Union["Motion", str, "os.PathLike[str]"], tick_ms: float = 20.0, speed: float = 1.0,
             loops: int = 1, release_at_end: bool = False, approach_speed: float = 2000.0,
             on_tick: Optional[Callable[[float, int, Dict[int, int]], None]] = None,
             stop: Optional[threading.Event] = None) -> "PlayReport":
        """Plays a motion (a Motion or a motion file's path) and returns a PlayReport.

        Takes hold of the motion's servos where they stand, moves them to the start at up to
        ``approach_speed`` positions per second (the smooth ease, never a jump), then sends
        every ``tick_ms`` one sync write of the goals that changed, on absolute times:
        ticks that come late are counted, never caught up in a burst. ``speed`` 2 plays
        twice as fast; ``loops`` 0 plays until ``stop`` (a threading.Event) is set. At the
        end, on stop, on a failure or on Ctrl+C (KeyboardInterrupt, raised again) the servos
        hold their last goal, or are released with ``release_at_end``. ``on_tick(seconds,
        loop, goals)`` is called after every tick (loop 0: on the way to the start).

        Refused before anything moves: a motion that breaks its file's rules (MotionError),
        a servo that does not answer (ZavError), and a tick shorter than this bus allows
        (ValueError naming the shortest): every servo's goal is one exchange a tick, and the
        round trip of one is measured at the start. Servos that took hold keep holding.
        """
        from ._motion import play
        return play(self, motion, tick_ms, speed, loops, release_at_end, approach_speed, on_tick, stop)

    def record(self, ids: Iterable[int], seconds: float = 10.0, rate_hz: float = 50.0,
               on_sample: Optional[Callable[[float, Dict[int, int]], None]] = None,
               stop: Optional[threading.Event] = None) -> "Motion":
        """Teach-in: releases the servos so that they can be moved by hand, samples their
        present positions ``rate_hz`` times a second for ``seconds`` (or until ``stop`` is
        set, or Ctrl+C) and returns the recording as a Motion, which plays back as they
        were moved. The servos stay released. A servo that fails three samples in a row
        raises ZavError, with what was recorded until then in its ``recording``."""
        from ._motion import record
        return record(self, ids, seconds, rate_hz, on_sample, stop)

    # --- raw packets ----------------------------------------------------------------

    def tx(self, id: int, command: int, data: bytes = b"") -> None:
        """Sends one raw packet: a command byte of ``command`` (its low three bits) and
        ``id``, then ``data``. With echo cancelling on, the line's echo is read back."""
        call = f"tx({id!r}, {command!r}, {bytes(data)!r})"
        target = _fit(id, 32, "servo id", ERR_ID, call, id)
        number = _fit(command, 32, "command", 0, call, signed=True)
        raw = bytes(data)
        ok, status = self._run(_native.library().ZAV_TxPacket, target, number, _native.byte_array(raw), len(raw))
        self._check(ok, status, call, target & 0xFF)

    def rx(self, count: int, timeout_ms: int = 100) -> bytes:
        """Receives exactly ``count`` raw bytes within ``timeout_ms``. If fewer arrive,
        ZavError (ERR_TIMEOUT) carries the bytes that did in ``received``."""
        call = f"rx({count!r}, {timeout_ms!r})"
        size = _fit(count, 32, "count", 0, call)
        wait = _fit(timeout_ms, 32, "time-out", 0, call)
        buffer = _native.byte_array(b"", size=size)
        got = ctypes.c_uint32(0)
        ok, status = self._run(_native.library().ZAV_RxPacket, buffer, size, ctypes.byref(got), wait)
        received = bytes(buffer[: min(got.value, size)])
        if not ok:
            if status == ERR_TIMEOUT:
                raise ZavError(f"{call} failed on {self._device}: {len(received)} of {size} bytes arrived "
                               f"within {wait} ms [ERR_TIMEOUT]", flags=status, call=call, received=received)
            self._check(ok, status, call, None)
        return received


def _library(call: str) -> Any:
    try:
        return _native.library()
    except _native.LibraryNotFound as error:
        raise ZavError(f"{call} failed: {error}", call=call) from None


def clock() -> float:
    """Milliseconds since an arbitrary origin, from the system's high-resolution counter."""
    return float(_library("clock()").GetQueryPerformanceCounter())
