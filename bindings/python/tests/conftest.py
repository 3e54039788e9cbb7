"""Ports on the library's simulated bus (sim: devices) for the tests, and zavsim on a
pseudo-terminal for the few that need a bus set up from outside (its positions and
readings)."""

import os
import selectors
import shutil
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

import zavlib

REPOSITORY = Path(__file__).resolve().parents[3]
ZAVSIM = os.environ.get("ZAVSIM", str(REPOSITORY / "build" / "zavsim"))
ZAVCTL = os.environ.get("ZAVCTL", str(REPOSITORY / "build" / "zavctl"))


def _wait_for_line(process: subprocess.Popen, text: str, seconds: float = 10.0) -> str:
    """zavsim's output up to the line containing text, or AssertionError at the deadline."""
    output = ""
    deadline = time.monotonic() + seconds
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while text not in output:
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                raise AssertionError(f"zavsim did not print {text!r} in {seconds} s: {output!r}")
            chunk = os.read(process.stdout.fileno(), 4096).decode()
            if not chunk:
                raise AssertionError(f"zavsim ended: {output!r}")
            output += chunk
    return output


@pytest.fixture
def bus() -> Iterator[Callable[..., str]]:
    """bus("--ids", "1,2", ...) starts zavsim with those options and returns its device."""
    if not os.access(ZAVSIM, os.X_OK):
        pytest.fail(f"zavsim not found at {ZAVSIM} (build it, or set ZAVSIM)")
    started: List[subprocess.Popen] = []
    directory = tempfile.mkdtemp(prefix="zavpy")  # short: the library keeps 30 bytes of a name

    def start(*options: str) -> str:
        device = os.path.join(directory, f"tty{len(started)}")
        process = subprocess.Popen([ZAVSIM, "--link", device, *options], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        started.append(process)
        _wait_for_line(process, "zavsim: servos")
        return device

    yield start
    for process in started:
        process.terminate()
        process.wait(timeout=10)
        process.stdout.close()
    shutil.rmtree(directory, ignore_errors=True)


REPLY_TIMEOUT_OFFSET_MS = 300  # generous: replies from zavsim come late on a loaded machine


@pytest.fixture
def port() -> Iterator[Callable[[str], zavlib.Port]]:
    """port("sim:0-5?silent=3") opens a Port on that device, with a generous reply
    time-out; closed after the test."""
    opened: List[zavlib.Port] = []

    def open_port(device: str) -> zavlib.Port:
        opened.append(zavlib.Port(device))
        opened[-1].timeout_offset = REPLY_TIMEOUT_OFFSET_MS
        return opened[-1]

    yield open_port
    for each in opened:
        each.echo_cancel = True  # the library's default, for the tests that follow
        each.close()
