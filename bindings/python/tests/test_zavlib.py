"""The Python package against the library and its simulated bus."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import zavlib
from zavlib import _native
from zavlib import ERR_ADDRESS, ERR_HANDLE, ERR_ID, ERR_REPLY, ERR_TIMEOUT, ERR_WRITE, ZavError

from conftest import REPLY_TIMEOUT_OFFSET_MS, REPOSITORY, ZAVCTL


def arrives(port, servo, goal, seconds=10.0, tolerance=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if abs(port.read(servo, "present_position") - goal) <= tolerance:
            return True
    return False


def test_scan_finds_exactly_the_servos_on_the_bus(port):
    assert port("sim:0-3,5-30").scan() == [0, 1, 2, 3] + list(range(5, 31))


@pytest.mark.parametrize("register, value", [("id", 1), ("sc3_value", -5), (zavlib.Register.SC4_VALUE, -20),
                                             (9, -20), ("present_position", 7321)])
def test_reads_decode_registers(bus, register, value):
    # The readings and the position are set from outside the bus: zavsim's.
    device = bus("--no-echo", "--ids", "1", "--sc3", "1=-5", "--sc4", "1=-20", "--position", "1=7321")
    with zavlib.Port(device) as quiet:
        quiet.echo_cancel = False
        quiet.timeout_offset = REPLY_TIMEOUT_OFFSET_MS
        try:
            assert quiet.read(1, register) == value
        finally:
            quiet.echo_cancel = True


def test_moves_arrive_by_write_move_and_sync_write(port):
    bus = port("sim:1,2")
    bus.write(2, "torque_enable", 1)
    bus.write(2, zavlib.Register.GOAL_POSITION, 4000)
    assert arrives(bus, 2, 4000)
    bus.move(1, 11000)
    bus.sync_write("goal_position", {1: 9000, 2: 3500})
    assert [bus.read(servo, "goal_position") for servo in (1, 2)] == [9000, 3500]
    assert arrives(bus, 1, 9000) and arrives(bus, 2, 3500)


def test_silent_servo_answers_no_to_ping_and_fails_a_read_with_err_timeout(port):
    bus = port("sim:0-5?silent=3")
    assert (bus.ping(2), bus.ping(3)) == (True, False)
    with pytest.raises(ZavError) as caught:
        bus.read(3, "present_position")
    error = caught.value
    assert (error.flags, error.flag_names, error.servo_id, error.partial) == (ERR_TIMEOUT, ["ERR_TIMEOUT"], 3, False)
    assert error.call == "read(3, 'present_position')"
    assert "no reply from servo 3 within 300 ms" in str(error)


# (what, call, expected exception, expected flags, partial, words of the message): values that
# do not fit the C argument are caught by the binding (ctypes would truncate id 257 to servo 1,
# torque 256 to 0), and so is a goal for move(), which would take hold before the library
# refused the goal; everything else is the library's own verdict. A message names the one
# range that was broken.
BAD_ARGUMENTS = [
    ("id above 31", lambda p: p.ping(40), ZavError, ERR_ID, False, ""),
    ("id that a byte cannot hold", lambda p: p.ping(257), ZavError, ERR_ID, False, ""),
    ("id of a string", lambda p: p.ping("1"), TypeError, None, False, ""),
    ("address past the image", lambda p: p.read(1, 10), ZavError, ERR_ADDRESS, False, ""),
    ("unknown register name", lambda p: p.read(1, "nonsense"), ZavError, ERR_ADDRESS, False, ""),
    ("block past the image", lambda p: p.read_block(1, 0, 11), ZavError, ERR_ADDRESS, False, ""),
    ("goal below range", lambda p: p.write(1, "goal_position", 2999), ZavError, ERR_WRITE, False,
     "goal_position takes 3000 to 12000, not 2999"),
    ("move beyond the goal range", lambda p: p.move(1, 20000), ZavError, ERR_WRITE, False,
     "takes 3000 to 12000, not 20000; nothing was sent"),
    ("goal a word cannot hold", lambda p: p.move(1, 70000), ZavError, ERR_WRITE, False, "takes 3000 to 12000, not 70000"),
    ("parameter 0", lambda p: p.write(1, "sc2_value", 0), ZavError, ERR_WRITE, False, "sc2_value takes 1 to 127, not 0"),
    ("torque byte 256", lambda p: p.write(1, "torque_enable", 256), ZavError, ERR_WRITE, False, ""),
    ("write to id 40", lambda p: p.write(40, "sc1_value", 5), ZavError, ERR_ID, False, ""),
    ("release of id 40", lambda p: p.release([1, 40]), ZavError, ERR_ID, False, ""),
    ("empty sync write", lambda p: p.sync_write("goal_position", {}), ZavError, ERR_ADDRESS, False, ""),
    ("sync record for id 40", lambda p: p.sync_write("goal_position", {40: 5000}), ZavError, ERR_ID, True, ""),
    ("sync goal out of range", lambda p: p.sync_write("goal_position", {1: 13000}), ZavError, ERR_WRITE, True,
     "goal_position takes 3000 to 12000, not 13000"),
    ("zero-length receive", lambda p: p.rx(0), ZavError, ERR_REPLY, False, ""),
    ("raw packet to id 40", lambda p: p.tx(40, 4), ZavError, ERR_ID, False, ""),
    ("baud rate 0", lambda p: setattr(p, "baudrate", 0), ZavError, 0, False, ""),
]


@pytest.mark.parametrize("call, expected, flags, partial, words", [row[1:] for row in BAD_ARGUMENTS],
                         ids=[row[0] for row in BAD_ARGUMENTS])
def test_bad_arguments(port, call, expected, flags, partial, words):
    bus = port("sim:1")
    bus.write(1, "torque_enable", 1)
    with pytest.raises(expected) as caught:
        call(bus)
    if expected is ZavError:
        message = str(caught.value)
        assert (caught.value.flags, caught.value.partial) == (flags, partial), message
        assert words in message and not (str(zavlib.GOAL_RANGE) in message and str(zavlib.PARAM_RANGE) in message), message


def test_hold_release_and_wait_until_arrived(port):
    bus = port("sim:1,2")
    with pytest.raises(ZavError, match="not 20000; nothing was sent"):
        bus.move(1, 20000)
    assert bus.read(1, "torque_enable") == 0  # the goal was checked before taking hold
    with pytest.raises(ZavError, match="servo 1 is released"):
        bus.wait_until_arrived(1)
    bus.move(1, 11000)
    with pytest.raises(ZavError, match=r"not arrived within 0 s: servo 1 at \d+, goal 11000"):
        bus.wait_until_arrived(1, timeout=0)  # 3400 units at 3000 a second: still on its way
    bus.move(2, 4000)
    present = bus.wait_until_arrived([1, 2], timeout=30)
    assert abs(present[1] - 11000) <= 10 and abs(present[2] - 4000) <= 10
    bus.release([1, 2])
    assert [bus.read(servo, "torque_enable") for servo in (1, 2)] == [0, 0]
    bus.hold(2)  # where it stands
    assert bus.read(2, "torque_enable") == 1 and abs(bus.read(2, "goal_position") - 4000) <= 10


def test_writes_that_stop_at_a_failing_servo_raise_as_partial(port):
    bus = port("sim:1-3")
    for servo in (1, 2, 3):
        bus.move(servo, 7000)
    with pytest.raises(ZavError) as sync:  # stops at servo 2's goal, which is out of range
        bus.sync_write("goal_position", {1: 5000, 2: 2999, 3: 6000})
    assert [bus.read(servo, "goal_position") for servo in (1, 2, 3)] == [5000, 7000, 7000]
    with pytest.raises(ZavError) as broadcast:  # stops at id 0, which is missing
        bus.write(zavlib.BROADCAST_ID, "sc2_value", 50)
    assert (sync.value.flags, sync.value.partial) == (ERR_WRITE, True)
    assert (broadcast.value.flag_names, broadcast.value.partial) == (["ERR_WRITE", "ERR_TIMEOUT"], True)


def test_settings_change_what_the_library_does(port):
    late = port("sim:3?echo=0&latency_ms=800")  # every reply held back 800 ms
    late.timeout_offset = 20
    assert late.ping(3) is False
    late.timeout_offset = 4000
    assert late.ping(3) is True and late.timeout_offset == 4000
    echoing = port("sim:1")  # a bus that echoes, as a one-wire line does
    echoing.echo_cancel = False  # so the echo of the request is taken for the reply
    with pytest.raises(ZavError) as caught:
        echoing.ping(1)
    assert caught.value.flags == ERR_REPLY


def test_raw_packets(port):
    bus = port("sim:5")
    bus.tx(5, 4, bytes([0x3A, 0x4C]))  # position 7500
    assert bus.rx(3, timeout_ms=5000)[0] == 5
    with pytest.raises(ZavError) as caught:
        bus.rx(3, timeout_ms=30)
    assert (caught.value.flags, caught.value.received) == (ERR_TIMEOUT, b"")


def test_ports_close_and_never_use_a_handle_the_library_freed():
    device = "sim:1"
    with zavlib.Port(device) as first:
        assert first.active
    assert first.closed and not first.active
    with pytest.raises(ZavError) as caught:
        first.ping(1)
    assert caught.value.flags == ERR_HANDLE
    older = zavlib.Port(device)
    newer = zavlib.Port(device)  # the library closes the older port of this name
    assert older.closed and not newer.closed and newer.active
    with pytest.raises(ZavError):
        zavlib.Port(device, 0)  # refused before the library touches the open port
    assert not newer.closed and newer.active
    with pytest.raises(ZavError) as caught:
        older.read(1, "present_position")
    assert caught.value.flags == ERR_HANDLE
    newer.close()
    with pytest.raises(ZavError, match="no such device"):
        zavlib.Port("/dev/zavlib-no-such-device")


# A device: a sim: name, or the options of a zavsim (for what a bus must be told from outside).
@pytest.mark.parametrize("device, command, offset, status, text", [
    ("sim:0-30?echo=0", ["scan"], "300", 0, "found 31 servos: 0,1,2"),
    ("sim:0-31?echo=0&silent=0-31", ["scan"], "5", 1, "no servo answered"),
    ("sim:1,2?echo=0", ["ping", "1-2"], "300", 0, "servo 2 answered"),
    ("sim:1,2?echo=0&silent=2", ["ping", "1,2"], "50", 1, "servo 2 did not answer"),
    (["--ids", "2", "--position", "2=7321"], ["read", "2", "present_position"], "300", 0, "servo 2: present_position 7321"),
    ("sim:1,2?echo=0", ["move", "all", "4000", "--wait", "30"], "300", 0, "arrived: servo 1 at 40"),
    ("sim:1,2?echo=0", ["release", "1,2"], "300", 0, "servo 2 released"),
    ("sim:1?echo=0", ["move", "1", "20000"], "300", 2, "takes 3000 to 12000, not 20000"),
])
def test_command_line(bus, device, command, offset, status, text):
    if not isinstance(device, str):
        device = bus("--no-echo", *device)
    line = [sys.executable, "-m", "zavlib", *command, "--port", device, "--no-echo", "--timeout-offset", offset]
    result = subprocess.run(line, capture_output=True, text=True, timeout=120)
    assert (result.returncode, text in result.stdout + result.stderr) == (status, True), result


def test_command_line_ports_lists_what_zavctl_lists(tmp_path):
    zavctl = os.environ.get("ZAVCTL", str(Path(__file__).resolve().parents[3] / "build" / "zavctl"))
    command = [sys.executable, "-m", "zavlib", "ports", "--json"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=60, env={**os.environ, "ZAVCTL": zavctl})
    assert result.returncode == 0, result
    assert json.loads(result.stdout)["ports"][-1]["name"] == "sim:0-5"
    missing = {**os.environ, "ZAVCTL": "", "ZAVLIB_LIBRARY": "", "PATH": str(tmp_path)}
    result = subprocess.run(command, capture_output=True, text=True, timeout=60, env=missing)
    assert (result.returncode, "needs zavctl" in result.stderr) == (1, True), result


def test_clock_counts_milliseconds():
    start_outside = time.monotonic()
    start = zavlib.clock()
    time.sleep(0.05)
    elapsed = zavlib.clock() - start
    assert 50 <= elapsed <= (time.monotonic() - start_outside) * 1000 + 1


@pytest.mark.parametrize("platform, is_64bit, name, stdcall", [
    ("linux", True, "libzavlib.so.1", False),
    ("win32", True, "zavlib_x64.dll", False),
    ("win32", False, "zavlib_x32.dll", True),
    ("darwin", True, "libzavlib.1.dylib", False),
])
def test_library_names_by_platform(platform, is_64bit, name, stdcall):
    assert _native.system_library(platform, is_64bit) == (name, stdcall)
    where = [place for place, _ in _native.candidates({}, platform, is_64bit)]
    assert where[0] == "copy bundled with the package" and where[-1] == "system loader"
    assert _native.candidates({"ZAVLIB_LIBRARY": "/x/lib.so"}, platform, is_64bit) == [("ZAVLIB_LIBRARY", "/x/lib.so")]


@pytest.mark.parametrize("environment, mentioned", [
    ({"ZAVLIB_LIBRARY": "/nonexistent/libzavlib.so"}, ["ZAVLIB_LIBRARY: /nonexistent/libzavlib.so"]),
    ({}, ["copy bundled with the package", "(not there)", "system loader: libzavlib-absent.so.9"]),
])
def test_a_missing_library_says_where_it_looked(monkeypatch, environment, mentioned):
    monkeypatch.setattr(_native, "system_library", lambda *_: ("libzavlib-absent.so.9", False))
    with pytest.raises(_native.LibraryNotFound) as caught:
        _native.load(environment)
    assert all(text in str(caught.value) for text in mentioned), str(caught.value)


def test_a_capture_taken_from_python_shows_in_tshark_and_replays_in_zavctl(tmp_path):
    capture = tmp_path / "session.pcap"
    with zavlib.Port(f"sim:0-5?capture={capture}") as bus:
        assert bus.scan() == [0, 1, 2, 3, 4, 5]
        assert bus.read(1, "sc2_value") == 32
    tshark = os.environ.get("TSHARK", "/usr/bin/tshark")
    dissector = REPOSITORY / "tools" / "wireshark" / "zavbus.lua"
    shown = subprocess.run([tshark, "-2", "-X", f"lua_script:{dissector}", "-r", str(capture), "-Y", "zavbus",
                            "-T", "fields", "-e", "_ws.col.Info"], capture_output=True, text=True, timeout=120)
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    assert lines[0] == "position id 0 release" and "reply id 0 present 7500" in lines
    assert any(line.endswith("read parameter id 1 sub-code 2") for line in lines) and "reply id 1 value 32" in lines
    assert lines[-1] == "end of capture: 73 records"  # 33 requests, their 33 echoes and 7 replies

    def replay(*commands):
        return subprocess.run([ZAVCTL, "--port", f"replay:{capture}", *commands], capture_output=True, text=True,
                              timeout=120)

    same = replay("scan", "read", "1", "sc2")
    assert same.returncode == 0 and "found 6 servos: 0,1,2,3,4,5" in same.stdout, same
    assert "the session followed the whole recording (33 requests)" in same.stderr, same
    other = replay("ping", "0", "ping", "2")
    assert other.returncode == 1, other
    assert ("left the recording at request 2 of 33: it sent 82 00 00 (position id 2 release), "
            "the recording has 81 00 00 (position id 1 release)") in other.stderr, other


@pytest.mark.parametrize("offset, baud, k, expected", [
    (20, 115200, zavlib._facts.REPLY_K_LONG, 20), (20, 9600, zavlib._facts.REPLY_K_LONG, 26),
    (20, 9600, zavlib._facts.REPLY_K_SHORT, 25), (0, 1, zavlib._facts.REPLY_K_LONG, 60000),
    (-1, 115200, zavlib._facts.REPLY_K_LONG, 0xFFFFFFFF),  # both taken as unsigned 32-bit, limited
    (20, 0, zavlib._facts.REPLY_K_LONG, None),
])
def test_the_tables_reply_time_out_is_the_librarys(offset, baud, k, expected):
    assert zavlib._facts.reply_timeout_ms(offset, baud, k) == expected


def test_ranges_name_themselves_and_hold_their_ends():
    assert (str(zavlib.GOAL_RANGE), zavlib.GOAL_RANGE.what) == ("3000 to 12000", "goal position")
    assert [v in zavlib.PARAM_RANGE for v in (0, 1, 127, 128, 1.5)] == [False, True, True, False, False]
    assert zavlib.Register.GOAL_POSITION.range is zavlib.GOAL_RANGE and zavlib.Register.PRESENT_POSITION.range is None
    assert "7500" in zavlib.Register.GOAL_POSITION.meaning and zavlib.Flag.ERR_TIMEOUT.meaning.startswith("a reply")
    assert zavlib.sync_max_servos(2) == 30 and zavlib.sync_max_servos(3) == 22
