"""Motions: poses and timelines of servo goals in the zavlib-motion format, and an engine
that plays them on a Port and records them from one (teach-in).

This is the same format, the same checks (word for word) and the same sampler as the C++
engine of ``zavctl play`` (tools/motion); tests/data/motion holds both to one table of
files and one set of sampled goals. The sampler's arithmetic is written out in the same
order as the C++ one, so that both give the same whole positions.
"""

from __future__ import annotations

import bisect
import json
import math
import os
import re
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from ._facts import GOAL_MAX, GOAL_MIN, REPLY_LENGTH, sync_max_servos
from ._port import ERR_TIMEOUT, ZavError

if TYPE_CHECKING:
    from ._port import Port

FORMAT = "zavlib-motion"
VERSION = 1
EASES = ("step", "linear", "smooth")

_MAX_FILE_BYTES = 32 << 20
_MAX_POSE_NAME = 64
_MAX_SECONDS = 86400.0
_MAX_DEPTH = 8
_WHOLE_LIMIT = 2147483648
_SERVO_KEY = re.compile(r"(0|[1-9][0-9]?)\Z")
_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_TOP_NAMES = ("format", "version", "limits", "poses", "timeline")
_KEYFRAME_NAMES = ("at", "pose", "goals", "ease")

PathLike = Union[str, "os.PathLike[str]"]


class MotionError(ValueError):
    """A motion file, or a motion built in code, that is refused. The message is one
    sentence that names the place, e.g. ``timeline[2] (at 1.5 s): servo 1: goal 3000 is
    outside its limits 3500 to 11000``."""


@dataclass
class Keyframe:
    """A point of the timeline: at ``at`` seconds the servos it names reach their goals,
    given by a pose of the motion (``pose``) or by the keyframe itself (``goals``).
    ``ease`` shapes the segment that ends here: ``"step"``, ``"linear"`` or ``"smooth"``
    (minimum jerk)."""

    at: float
    pose: Optional[str] = None
    goals: Optional[Dict[int, int]] = None
    ease: str = "linear"


def _quoted(name: str) -> str:
    return json.dumps(name, ensure_ascii=False)


def _number_text(value: float) -> str:
    """Seconds as the C++ engine writes them in its sentences."""
    if math.floor(value) == value and abs(value) < 1e15:
        return str(int(value))
    for precision in range(1, 18):
        text = format(value, f".{precision}g")
        if float(text) == value:
            break
    return text


def _whole(value: Any) -> Optional[int]:
    """A JSON number that is a whole number of moderate size, or None."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value if -_WHOLE_LIMIT <= value <= _WHOLE_LIMIT else None
    if isinstance(value, float) and math.isfinite(value) and value.is_integer() and abs(value) <= _WHOLE_LIMIT:
        return int(value)
    return None


def _servo_key(key: str) -> Optional[int]:
    if not _SERVO_KEY.match(key):
        return None
    number = int(key)
    return number if number <= 31 else None


# --- reading ----------------------------------------------------------------------------

class _Object(Dict[str, Any]):
    """A JSON object that remembers a name it was given twice."""

    duplicate: Optional[str] = None


def _pairs(pairs: List[Tuple[str, Any]]) -> _Object:
    result = _Object()
    for key, value in pairs:
        if key in result and result.duplicate is None:
            result.duplicate = key
        result[key] = value
    return result


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number JSON knows")


def _float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError("a number is too large")
    return value


def _int(text: str) -> int:
    # As the C++ reader, which takes a whole number beyond 64 bits as a double.
    if len(text) > 400:
        raise ValueError("a number is too large")
    value = int(text)
    try:
        float(value)
    except OverflowError:
        raise ValueError("a number is too large") from None
    return value


def _path(parts: Sequence[Union[str, int]]) -> str:
    text = ""
    for part in parts:
        if isinstance(part, int):
            text += f"[{part}]"
        elif _IDENTIFIER.match(part):
            text += ("." if text else "") + part
        else:
            text += f"[{_quoted(part)}]"
    return text or "the top level"


def _check_structure(value: Any, parts: List[Union[str, int]]) -> None:
    """What the C++ reader refuses while it parses: nesting deeper than the format has,
    a name twice in one object, and strings that are not Unicode (lone surrogates)."""
    if len(parts) > _MAX_DEPTH:
        raise MotionError("the file nests objects and arrays deeper than a motion file does")
    if isinstance(value, str):
        value.encode("utf-8")  # UnicodeEncodeError for a lone surrogate
    elif isinstance(value, dict):
        if isinstance(value, _Object) and value.duplicate is not None:
            raise MotionError(f"{_path(parts)}: the name {_quoted(value.duplicate)} appears twice")
        for key, item in value.items():
            key.encode("utf-8")
            _check_structure(item, parts + [key])
    elif isinstance(value, list):
        for index, item in enumerate(value):
            _check_structure(item, parts + [index])


def _parse_json(text: str) -> Any:
    if text.startswith("\ufeff"):
        text = text[1:]
    try:
        root = json.loads(text, object_pairs_hook=_pairs, parse_constant=_reject_constant, parse_float=_float,
                          parse_int=_int)
    except json.JSONDecodeError as error:
        raise MotionError(f"line {error.lineno}, column {error.colno}: not valid JSON ({error.msg})") from None
    except RecursionError:
        raise MotionError("the file nests objects and arrays deeper than a motion file does") from None
    except ValueError as error:  # NaN, Infinity, a number of too many digits
        raise MotionError(f"not valid JSON ({error})") from None
    try:
        _check_structure(root, [])
    except UnicodeEncodeError:
        raise MotionError("not valid JSON (a string holds a lone surrogate, which is not Unicode)") from None
    return root


def _read_goals(value: Any, place: str, what: str) -> Dict[int, int]:
    if not isinstance(value, dict) or not value:
        raise MotionError(f'{place}: {what} must be an object of servo ids and goals, e.g. {{"1": 4000}}')
    goals: Dict[int, int] = {}
    for key in sorted(value):
        servo = _servo_key(key)
        if servo is None:
            raise MotionError(f"{place}: {_quoted(key)} is not a servo id 0 to 31")
        goal = _whole(value[key])
        if goal is None:
            raise MotionError(f"{place}: the goal of servo {key} must be a whole number from {GOAL_MIN} to {GOAL_MAX}")
        if not GOAL_MIN <= goal <= GOAL_MAX:
            raise MotionError(f"{place}: servo {key}: goal {goal} is outside {GOAL_MIN} to {GOAL_MAX}")
        goals[servo] = goal
    return dict(sorted(goals.items()))


def _check_limits(limits: Mapping[int, Tuple[int, int]], goals: Mapping[int, int], place: str) -> None:
    for servo, goal in sorted(goals.items()):
        if servo in limits:
            low, high = limits[servo]
            if not low <= goal <= high:
                raise MotionError(f"{place}: servo {servo}: goal {goal} is outside its limits {low} to {high}")


def _read(root: Any) -> "Motion":
    if not isinstance(root, dict):
        raise MotionError("the file must hold one JSON object")
    if "format" not in root:
        raise MotionError(f'"format" is missing: a motion file starts with {{"format": "{FORMAT}", "version": {VERSION}, ...}}')
    if not isinstance(root["format"], str):
        raise MotionError(f'"format" must be the string "{FORMAT}"')
    if root["format"] != FORMAT:
        raise MotionError(f'"format" is {_quoted(root["format"])}, not "{FORMAT}": this is not a motion file')
    if "version" not in root:
        raise MotionError(f'"version" is missing (this zavlib reads version {VERSION})')
    version = _whole(root["version"])
    if version is None or version < 1:
        raise MotionError(f'"version" must be a whole number ({VERSION} for this zavlib)')
    if version > VERSION:
        raise MotionError(f"version {version} is newer than this zavlib reads (version {VERSION}): update zavlib to read it")
    for name in sorted(root):
        if name not in _TOP_NAMES:
            raise MotionError(f"unknown name {_quoted(name)} at the top level "
                              "(a motion file has format, version, limits, poses and timeline)")

    motion = Motion()
    if "limits" in root:
        limits = root["limits"]
        if not isinstance(limits, dict):
            raise MotionError('"limits" must be an object of servo ids and [low, high], e.g. {"1": [3500, 11000]}')
        for key in sorted(limits):
            servo = _servo_key(key)
            if servo is None:
                raise MotionError(f"limits: {_quoted(key)} is not a servo id 0 to 31")
            pair = limits[key]
            ends = [_whole(end) for end in pair] if isinstance(pair, list) and len(pair) == 2 else [None, None]
            low, high = ends
            if low is None or high is None or not GOAL_MIN <= low <= high <= GOAL_MAX:
                raise MotionError(f"limits of servo {key} must be [low, high] with {GOAL_MIN} <= low <= high <= {GOAL_MAX}")
            motion.limits[servo] = (low, high)
    if "poses" in root:
        poses = root["poses"]
        if not isinstance(poses, dict):
            raise MotionError('"poses" must be an object of named poses, e.g. {"wave_up": {"1": 4000}}')
        for name in sorted(poses):  # checked in the order of their names, kept in the file's order
            if not 1 <= len(name) <= _MAX_POSE_NAME or any(ord(c) < 0x20 or ord(c) == 0x7F for c in name):
                raise MotionError(f"pose name {_quoted(name)} must be 1 to {_MAX_POSE_NAME} characters "
                                  "without control characters")
            _read_goals(poses[name], f"pose {_quoted(name)}", "a pose")
        for name, goals in poses.items():
            motion.poses[name] = _read_goals(goals, f"pose {_quoted(name)}", "a pose")
    if "timeline" not in root:
        raise MotionError('"timeline" is missing: a motion file has a timeline of keyframes (it may be empty)')
    timeline = root["timeline"]
    if not isinstance(timeline, list):
        raise MotionError('"timeline" must be an array of keyframes')
    previous = -1.0
    for index, entry in enumerate(timeline):
        where = f"timeline[{index}]"
        if not isinstance(entry, dict):
            raise MotionError(f'{where} must be an object such as {{"at": 1.5, "pose": "wave_up"}}')
        for name in sorted(entry):
            if name not in _KEYFRAME_NAMES:
                raise MotionError(f"{where}: unknown name {_quoted(name)} (a keyframe has at, pose or goals, and ease)")
        at = entry.get("at")
        if (isinstance(at, bool) or not isinstance(at, (int, float)) or not math.isfinite(at)
                or not 0 <= at <= _MAX_SECONDS):
            raise MotionError(f'{where}: "at" must be a number of seconds from 0 to {_number_text(_MAX_SECONDS)}')
        at = float(at)
        place = f"{where} (at {_number_text(at)} s)"
        if at <= previous:
            raise MotionError(f'{place}: "at" must be later than the keyframe before it (at {_number_text(previous)} s)')
        previous = at
        has_pose, has_goals = "pose" in entry, "goals" in entry
        if has_pose == has_goals:
            both = ' names both "pose" and "goals"' if has_pose else ' names neither "pose" nor "goals"'
            raise MotionError(f"{place}{both}: give one")
        keyframe = Keyframe(at)
        if has_pose:
            pose = entry["pose"]
            if not isinstance(pose, str):
                raise MotionError(f'{place}: "pose" must be the name of a pose')
            if pose not in motion.poses:
                raise MotionError(f'{place}: there is no pose named {_quoted(pose)} in "poses"')
            keyframe.pose = pose
            _check_limits(motion.limits, motion.poses[pose], f"{where} (at {_number_text(at)} s, pose {_quoted(pose)})")
        else:
            keyframe.goals = _read_goals(entry["goals"], place, '"goals"')
            _check_limits(motion.limits, keyframe.goals, place)
        if "ease" in entry:
            if entry["ease"] not in EASES:
                raise MotionError(f'{place}: "ease" must be "step", "linear" or "smooth"')
            keyframe.ease = entry["ease"]
        motion.timeline.append(keyframe)
    for name, goals in motion.poses.items():  # poses that no keyframe uses are bound too
        _check_limits(motion.limits, goals, f"pose {_quoted(name)}")
    return motion


# --- the motion -------------------------------------------------------------------------

def _goals_text(goals: Mapping[int, int]) -> str:
    return "{" + ", ".join(f"{json.dumps(str(servo))}: {json.dumps(goal)}" for servo, goal in sorted(goals.items())) + "}"


@dataclass
class Motion:
    """Poses and a timeline of goals.

    ``Motion.load(path)`` reads a file and ``save(path)`` writes one; a file (or a motion
    built in code, when saved or played) that breaks the format's rules raises MotionError
    naming the place. ``limits`` maps a servo id to (low, high), ``poses`` a name to
    ``{servo id: goal}``, and ``timeline`` is a list of Keyframe in time order. Each servo
    moves between the keyframes that name it, holds its first goal before them and its
    last goal after them.
    """

    limits: Dict[int, Tuple[int, int]] = field(default_factory=dict)
    poses: Dict[str, Dict[int, int]] = field(default_factory=dict)
    timeline: List[Keyframe] = field(default_factory=list)

    @classmethod
    def loads(cls, text: Union[str, bytes]) -> "Motion":
        """A motion from the text of a motion file."""
        if isinstance(text, bytes):
            if len(text) > _MAX_FILE_BYTES:
                raise MotionError(f"the file is larger than {_MAX_FILE_BYTES >> 20} MB, more than any motion needs")
            try:
                text = text.decode("utf-8")
            except UnicodeDecodeError as error:
                raise MotionError(f"not valid JSON (byte {error.start} is not UTF-8 text)") from None
        if len(text.encode("utf-8", "surrogatepass")) > _MAX_FILE_BYTES:
            raise MotionError(f"the file is larger than {_MAX_FILE_BYTES >> 20} MB, more than any motion needs")
        return _read(_parse_json(text))

    @classmethod
    def load(cls, path: PathLike) -> "Motion":
        """Reads a motion file; MotionError names the file and the place."""
        name = os.fspath(path)
        try:
            with open(name, "rb") as file:
                data = file.read(_MAX_FILE_BYTES + 1)
        except OSError as error:
            raise MotionError(f"{name}: cannot be opened ({error.strerror})") from None
        try:
            return cls.loads(data)
        except MotionError as error:
            raise MotionError(f"{name}: {error}") from None

    def dumps(self) -> str:
        """The motion as the text of a motion file: one line per pose and per keyframe."""
        self.validate()
        return self._text()

    def _text(self) -> str:
        lines = ['{', f'  "format": "{FORMAT}",', f'  "version": {VERSION}']
        if self.limits:
            limits = ", ".join(f"{json.dumps(str(servo))}: {json.dumps([low, high])}"
                               for servo, (low, high) in sorted(self.limits.items()))
            lines[-1] += ","
            lines.append(f'  "limits": {{{limits}}}')
        if self.poses:
            lines[-1] += ","
            lines.append('  "poses": {')
            lines.append(",\n".join(f"    {_quoted(name)}: {_goals_text(goals)}" for name, goals in self.poses.items()))
            lines.append("  }")
        lines[-1] += ","
        entries = []
        for keyframe in self.timeline:
            text = f'    {{"at": {json.dumps(float(keyframe.at))}'
            if keyframe.pose is not None:
                text += f', "pose": {json.dumps(keyframe.pose, ensure_ascii=False)}'
            if keyframe.goals is not None:
                text += f', "goals": {_goals_text(keyframe.goals)}'
            if keyframe.ease != "linear":
                text += f', "ease": {_quoted(keyframe.ease)}'
            entries.append(text + "}")
        if entries:
            lines.append('  "timeline": [')
            lines.append(",\n".join(entries))
            lines.append("  ]")
        else:
            lines.append('  "timeline": []')
        return "\n".join(lines) + "\n}\n"

    def save(self, path: PathLike) -> None:
        """Writes the motion file. It is written beside the target and put in place only
        when complete, so a failed save leaves an older file intact."""
        name = os.fspath(path)
        try:
            text = self.dumps()
        except MotionError as error:
            raise MotionError(f"{name} was not written: {error}") from None
        partial = name + ".part"
        try:
            with open(partial, "w", encoding="utf-8", newline="\n") as file:
                file.write(text)
            os.replace(partial, name)
        except OSError as error:
            try:
                os.remove(partial)
            except OSError:
                pass
            raise MotionError(f"{name} could not be written ({error.strerror})") from None

    def validate(self) -> None:
        """Checks the motion as a file of it would be checked; MotionError if refused."""
        _read(_parse_json(self._text_unchecked()))

    def _text_unchecked(self) -> str:
        try:
            return self._text()
        except (TypeError, ValueError, AttributeError) as error:
            raise MotionError(f"the motion cannot be written as a motion file: {error}") from None

    def goals_of(self, keyframe: Keyframe) -> Dict[int, int]:
        """The goals a keyframe names, through its pose or its own."""
        if keyframe.pose is not None:
            return self.poses.get(keyframe.pose, {})
        return keyframe.goals or {}

    @property
    def servos(self) -> List[int]:
        """The servos the timeline names, in ascending order."""
        return sorted({servo for keyframe in self.timeline for servo in self.goals_of(keyframe)})

    @property
    def duration(self) -> float:
        """The last keyframe's time in seconds (0 for an empty timeline)."""
        return float(self.timeline[-1].at) if self.timeline else 0.0

    def sample(self, t: float) -> Dict[int, int]:
        """The goal of each servo at ``t`` seconds, rounded to the nearest whole position."""
        return dict(zip(self.servos, _Sampler(self).sample(t)))


def _ease_between(ease: str, start: float, end: float, u: float) -> float:
    if u >= 1.0:
        return end
    if ease == "step":
        return start
    if ease == "smooth":
        s = u * u * u * (10.0 + u * (-15.0 + 6.0 * u))
        return start + (end - start) * s
    return start + (end - start) * u


def _smooth_seconds(distance: float, peak_speed: float) -> float:
    """Time the smooth ease needs for a distance at that peak speed (1.875 times the mean)."""
    return 1.875 * abs(distance) / peak_speed


def _round(value: float) -> int:
    return int(math.floor(value + 0.5))


class _Sampler:
    def __init__(self, motion: Motion) -> None:
        self.servos = motion.servos
        self.duration = motion.duration
        slots = {servo: index for index, servo in enumerate(self.servos)}
        self._times: List[List[float]] = [[] for _ in self.servos]
        self._points: List[List[Tuple[int, str]]] = [[] for _ in self.servos]
        for keyframe in motion.timeline:
            for servo, goal in motion.goals_of(keyframe).items():
                self._times[slots[servo]].append(float(keyframe.at))
                self._points[slots[servo]].append((goal, keyframe.ease))

    def sample(self, t: float) -> List[int]:
        goals = []
        for times, points in zip(self._times, self._points):
            after = bisect.bisect_right(times, t)  # the segment that holds t ends there
            if after == 0:
                goals.append(points[0][0])
            elif after == len(times):
                goals.append(points[-1][0])
            else:
                u = (t - times[after - 1]) / (times[after] - times[after - 1])
                goals.append(_round(_ease_between(points[after][1], points[after - 1][0], points[after][0], u)))
        return goals


# --- playing and recording --------------------------------------------------------------

_BITS_PER_BYTE = 11.0  # start, 8 data, parity, stop
_EXCHANGE_BYTES = 1 + 2 + REPLY_LENGTH  # a position packet (command byte, two position bytes) and its reply
_TICK_HEADROOM = 1.25
_ROUND_TRIP_ROUNDS = 3
_MIN_TICK_MS = 1.0
_FAILURES_IN_A_ROW = 3
_SYNC_RECORDS = sync_max_servos(2)  # goal records in one sync write
_STOP_CHECK_S = 0.02
_HISTOGRAM_STEP_MS = 0.01
_HISTOGRAM_BINS = 10000


@dataclass
class Plan:
    """What a tick costs on this bus: each servo's goal is one position exchange."""

    servos: int
    baud: int
    wire_ms: float  # one exchange's bytes on the wire
    round_trip_ms: float  # one exchange as measured at start (median)
    tick_bus_ms: float  # every servo's exchange, one after another
    shortest_tick_ms: float


@dataclass
class PlayReport:
    """How playback (or a recording) went. ``late``: ticks that began more than a quarter
    tick after their time; ``skipped``: ticks whose time passed while an earlier one ran,
    never caught up."""

    plan: Plan
    ticks: int = 0
    late: int = 0
    skipped: int = 0
    worst_lateness_ms: float = 0.0
    p99_lateness_ms: float = 0.0
    last_lateness_ms: float = 0.0
    bus_mean_ms: float = 0.0
    bus_worst_ms: float = 0.0
    approach_s: float = 0.0
    loops_done: int = 0
    stopped: bool = False
    released: bool = False


def plan(port: "Port", servos: Sequence[int]) -> Plan:
    """Times three position exchanges (pings) with each servo and plans a tick for them all.
    ZavError when a servo answers none of them."""
    times: List[float] = []
    missed = {servo: 0 for servo in servos}  # a servo that answers none of its exchanges is not there
    for _ in range(_ROUND_TRIP_ROUNDS):
        for servo in servos:
            begin = time.perf_counter()
            if port.ping(servo):
                times.append((time.perf_counter() - begin) * 1000.0)
                continue
            missed[servo] += 1
            if missed[servo] == _ROUND_TRIP_ROUNDS:
                raise ZavError(f"servo {servo} does not answer within {port.reply_timeout_ms()} ms [ERR_TIMEOUT]",
                               flags=ERR_TIMEOUT, servo_id=servo, call=f"ping({servo})")
    times.sort()
    round_trip = times[len(times) // 2]
    wire = _EXCHANGE_BYTES * _BITS_PER_BYTE * 1000.0 / port.baudrate
    bus = len(servos) * max(wire, round_trip)
    return Plan(len(servos), port.baudrate, wire, round_trip, bus,
                max(_MIN_TICK_MS, math.ceil(bus * _TICK_HEADROOM * 10.0) / 10.0))


class _Ticker:
    """Ticks on absolute times (start + k * period): waits for each, skips those whose time
    has passed instead of running them in a burst, and keeps the lateness figures."""

    def __init__(self, period_ms: float, last: Optional[int], stop: Optional[threading.Event]) -> None:
        self.period = period_ms / 1000.0
        self.last = last
        self.stop = stop
        self.index = -1
        self.start = 0.0
        self.report_ticks = 0
        self.late = 0
        self.skipped = 0
        self.worst = 0.0
        self.last_lateness = 0.0
        self.bins = [0] * (_HISTOGRAM_BINS + 1)
        self.bus_total = 0.0
        self.bus_worst = 0.0
        self.writes = 0

    def next(self) -> bool:
        if self.index >= 0 and self.last is not None and self.index >= self.last:
            return False
        k = self.index + 1
        if self.index < 0:
            self.start = time.perf_counter()
        deadline = self.start + k * self.period
        while True:
            if self.stop is not None and self.stop.is_set():
                return False
            now = time.perf_counter()
            if now >= deadline:
                break
            time.sleep(min(deadline - now, _STOP_CHECK_S))
        behind = int((now - self.start) / self.period)
        if behind > k:
            caught = behind if self.last is None else min(behind, self.last)
            self.skipped += caught - k
            k = caught
        self.index = k
        lateness = max(0.0, (now - (self.start + k * self.period)) * 1000.0)
        self.report_ticks += 1
        if lateness > self.period * 1000.0 / 4.0:
            self.late += 1
        self.worst = max(self.worst, lateness)
        self.last_lateness = lateness
        self.bins[min(_HISTOGRAM_BINS, int(lateness / _HISTOGRAM_STEP_MS))] += 1
        return True

    def bus_time(self, ms: float) -> None:
        self.writes += 1
        self.bus_total += ms
        self.bus_worst = max(self.bus_worst, ms)

    def fill(self, report: PlayReport) -> None:
        report.ticks, report.late, report.skipped = self.report_ticks, self.late, self.skipped
        report.worst_lateness_ms, report.last_lateness_ms = self.worst, self.last_lateness
        report.bus_mean_ms = self.bus_total / self.writes if self.writes else 0.0
        report.bus_worst_ms = self.bus_worst
        target = math.ceil(0.99 * self.report_ticks)
        seen = 0
        for index, count in enumerate(self.bins):
            seen += count
            if self.report_ticks and seen >= target:
                report.p99_lateness_ms = min(self.worst, (index + 1) * _HISTOGRAM_STEP_MS)
                break


class _RaisedPriority:
    """Real-time scheduling for the calling thread while it plays, where Linux allows it
    (root, or an rtprio limit); elsewhere nothing changes."""

    def __init__(self, wanted: bool) -> None:
        self.wanted = wanted

    def __enter__(self) -> "_RaisedPriority":
        self.previous: Optional[Tuple[int, Any]] = None
        if self.wanted and sys.platform.startswith("linux"):
            try:
                self.previous = (os.sched_getscheduler(0), os.sched_getparam(0))
                os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(20))
            except (OSError, AttributeError):
                self.previous = None
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.previous is not None:
            try:
                os.sched_setscheduler(0, self.previous[0], self.previous[1])
            except OSError:
                pass


def _write_goals(port: "Port", servos: Sequence[int], goals: Sequence[int], sent: List[int],
                 failures: List[int]) -> None:
    """One sync write (two beyond 30 servos) of the goals that differ from those last
    sent. A servo that fails is left out of this tick and tried again in the next; the
    records before it were written, those after it go again."""
    pending = [i for i in range(len(servos)) if goals[i] != sent[i]]
    while pending:
        chunk = pending[:_SYNC_RECORDS]
        try:
            port.sync_write("goal_position", {servos[i]: goals[i] for i in chunk})
            written = len(chunk)
            error: Optional[ZavError] = None
        except ZavError as caught:
            if not caught.partial:
                raise
            error = caught
            written = next((j for j, i in enumerate(chunk) if port.read(servos[i], "goal_position") != goals[i]),
                           len(chunk))
        for i in chunk[:written]:
            sent[i] = goals[i]
            failures[i] = 0
        if written < len(chunk) and error is not None:
            failed = chunk[written]
            failures[failed] += 1
            if failures[failed] >= _FAILURES_IN_A_ROW:
                raise ZavError(f"servo {servos[failed]} failed {_FAILURES_IN_A_ROW} ticks in a row: {error}",
                               flags=error.flags, servo_id=servos[failed], call=error.call)
            pending = chunk[written + 1:] + pending[len(chunk):]
        else:
            pending = pending[len(chunk):]


def play(port: "Port", motion: Union[Motion, PathLike], tick_ms: float = 20.0, speed: float = 1.0,
         loops: int = 1, release_at_end: bool = False, approach_speed: float = 2000.0,
         on_tick: Optional[Callable[[float, int, Dict[int, int]], None]] = None,
         stop: Optional[threading.Event] = None, raise_priority: bool = True) -> PlayReport:
    """See Port.play."""
    if not isinstance(motion, Motion):
        motion = Motion.load(motion)
    motion.validate()
    if not motion.timeline:
        raise MotionError("the motion has no keyframes: there is nothing to play")
    if not 0.0 < tick_ms <= 1000.0:
        raise ValueError("the tick must be more than 0 and at most 1000 ms")
    if not 0.0 < speed <= 100.0:
        raise ValueError("the speed must be more than 0 and at most 100")
    if loops < 0:
        raise ValueError("the number of loops must be 0 (until stopped) or more")
    if not approach_speed > 0.0:
        raise ValueError("the approach speed must be more than 0 positions per second")
    with _RaisedPriority(raise_priority):  # planned and played ahead of the host's other work where allowed
        return _play(port, motion, tick_ms, speed, loops, release_at_end, approach_speed, on_tick, stop)


def _play(port: "Port", motion: Motion, tick_ms: float, speed: float, loops: int, release_at_end: bool,
          approach_speed: float, on_tick: Optional[Callable[[float, int, Dict[int, int]], None]],
          stop: Optional[threading.Event]) -> PlayReport:
    sampler = _Sampler(motion)
    servos = sampler.servos
    for servo in servos:  # take hold where they stand: a released servo drops its goals
        port.write(servo, "torque_enable", 1)
    report = PlayReport(plan(port, servos))
    if tick_ms < report.plan.shortest_tick_ms:
        raise ValueError(f"a tick of {tick_ms:.1f} ms is shorter than this bus allows for {len(servos)} servos at "
                         f"{port.baudrate} baud: at least {report.plan.shortest_tick_ms:.1f} ms (a tick's bus time is "
                         f"{report.plan.tick_bus_ms:.2f} ms)")
    present = [port.read(servo, "present_position") for servo in servos]
    sent = [port.read(servo, "goal_position") for servo in servos]
    failures = [0] * len(servos)
    start, end = sampler.sample(0.0), sampler.sample(sampler.duration)

    tick_s = tick_ms / 1000.0
    motion_s = sampler.duration / speed
    loops = loops if motion_s > 0 else 1
    approach = max((_smooth_seconds(s - p, approach_speed) for s, p in zip(start, present)), default=0.0)
    between = max((_smooth_seconds(s - e, approach_speed) for s, e in zip(start, end)), default=0.0)
    period = motion_s + between
    total = math.inf if loops == 0 else approach + loops * motion_s + (loops - 1) * between
    last = None if loops == 0 else math.ceil(total / tick_s - 1e-9)
    report.approach_s = approach
    ticker = _Ticker(tick_ms, last, stop)
    loop = 0
    finished = False
    try:
        while ticker.next():
            r = min(ticker.index * tick_s, total)
            if r < approach:
                loop = 0
                goals = [_round(_ease_between("smooth", p, s, r / approach)) for p, s in zip(present, start)]
            else:
                offset = r - approach
                index = int(math.floor(offset / period)) if period > 0 else 0
                if loops > 0:
                    index = min(index, loops - 1)
                offset -= index * period
                loop = index + 1
                if offset <= motion_s or between <= 0:
                    goals = sampler.sample(min(offset * speed, sampler.duration))
                else:
                    u = (offset - motion_s) / between
                    goals = [_round(_ease_between("smooth", e, s, u)) for e, s in zip(end, start)]
            changed = goals != sent
            begin = time.perf_counter()
            _write_goals(port, servos, goals, sent, failures)
            if changed:
                ticker.bus_time((time.perf_counter() - begin) * 1000.0)
            if on_tick is not None:
                on_tick(r, loop, dict(zip(servos, goals)))
            if last is not None and ticker.index >= last:
                finished = True
    finally:
        ticker.fill(report)
        report.stopped = not finished
        report.loops_done = loops if finished else max(0, loop - 1)
        if release_at_end:
            for servo in servos:
                port.write(servo, "torque_enable", 0)
            report.released = True
    return report


def _build_recording(ids: Sequence[int], times: Sequence[float], values: Sequence[Sequence[int]]) -> Motion:
    """Keyframes from samples: a servo's sample is kept where its position changes on
    either side, so that linear moves between kept samples give back every sample."""
    motion = Motion()
    for s, at in enumerate(times):
        goals = {}
        for i, servo in enumerate(ids):
            v = values[s][i]
            if s == 0 or s + 1 == len(times) or v != values[s - 1][i] or v != values[s + 1][i]:
                goals[servo] = v
        if goals:
            motion.timeline.append(Keyframe(at, goals=goals))
    return motion


def _clamp(position: int) -> int:
    return min(GOAL_MAX, max(GOAL_MIN, position))


def record(port: "Port", ids: Iterable[int], seconds: float = 10.0, rate_hz: float = 50.0,
           on_sample: Optional[Callable[[float, Dict[int, int]], None]] = None,
           stop: Optional[threading.Event] = None, raise_priority: bool = True) -> Motion:
    """See Port.record."""
    servos = sorted(set(ids))
    if not servos or any(not 0 <= servo <= 31 for servo in servos):
        raise ValueError("name 1 to 32 servos, ids 0 to 31")
    if not 0.0 < rate_hz <= 1000.0:
        raise ValueError("the rate must be more than 0 and at most 1000 Hz")
    if not 0.0 < seconds <= _MAX_SECONDS:
        raise ValueError("the recording time must be more than 0 s and at most a day")
    with _RaisedPriority(raise_priority):
        return _record(port, servos, seconds, rate_hz, on_sample, stop)


def _record(port: "Port", servos: List[int], seconds: float, rate_hz: float,
            on_sample: Optional[Callable[[float, Dict[int, int]], None]], stop: Optional[threading.Event]) -> Motion:
    bus = plan(port, servos)
    if 1000.0 / rate_hz < bus.shortest_tick_ms:
        raise ValueError(f"a rate of {rate_hz:.1f} Hz is more than this bus allows for {len(servos)} servos at "
                         f"{port.baudrate} baud: at most {math.floor(10000.0 / bus.shortest_tick_ms) / 10.0:.1f} Hz")
    for servo in servos:
        port.write(servo, "torque_enable", 0)
    last = math.floor(seconds * rate_hz + 1e-9)
    ticker = _Ticker(1000.0 / rate_hz, last, stop)
    times: List[float] = []
    values: List[List[int]] = []
    sample = [0] * len(servos)
    failures = [0] * len(servos)
    try:
        while ticker.next():
            t = ticker.index / rate_hz
            for i, servo in enumerate(servos):
                try:
                    sample[i] = _clamp(port.read(servo, "present_position"))
                    failures[i] = 0
                except ZavError:
                    failures[i] += 1
                    if not values or failures[i] >= _FAILURES_IN_A_ROW:
                        raise  # else it keeps its last position for this sample
            times.append(t)
            values.append(list(sample))
            if on_sample is not None:
                on_sample(t, dict(zip(servos, sample)))
    except KeyboardInterrupt:
        pass  # Ctrl+C ends the recording; what was recorded is returned
    except ZavError as error:
        error.recording = _build_recording(servos, times, values)  # type: ignore[attr-defined]
        raise
    return _build_recording(servos, times, values)
