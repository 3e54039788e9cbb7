"""python -m zavlib COMMAND --port DEVICE ...: scan, ping, read, move and release servos;
python -m zavlib ports: this machine's serial ports (zavctl ports).

The commands carry the names of the Port methods they call, take servo ids as zavctl does
(3, 1,2, 0-5, or all: the servos that answer a scan) and exit as zavctl does: 0 done, 1 the
servos did not do what was asked, 2 a wrong command line, 3 the port could not be opened.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Dict, List, Optional, Set

from . import ID_RANGE, Port, Register, ZavError, _ports
from ._facts import DEFAULT_BAUD, DEFAULT_TIMEOUT_OFFSET_MS, GOAL_RANGE

EXIT_FAILED, EXIT_USAGE, EXIT_CANNOT_OPEN = 1, 2, 3


def _ids(text: str) -> List[int]:
    """'3', '1,2', '0-5', '1,4-6' or 'all' (as an empty list: the servos a scan finds)."""
    if text == "all":
        return []
    ids: Set[int] = set()
    for part in text.split(","):
        first, _, last = part.partition("-")
        try:
            low, high = int(first), int(last or first)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not a servo id, a list such as 1,2 or 0-5, or all") from None
        if low not in ID_RANGE or high not in ID_RANGE or low > high:
            raise argparse.ArgumentTypeError(f"'{text}': servo ids are {ID_RANGE}")
        ids.update(range(low, high + 1))
    return sorted(ids)


def _goal(text: str) -> int:
    try:
        goal = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if goal not in GOAL_RANGE:
        raise argparse.ArgumentTypeError(f"a {GOAL_RANGE.what} takes {GOAL_RANGE}, not {goal}")
    return goal


def _register(text: str) -> Register:
    try:
        return Register[text.upper()] if not text.isdigit() else Register(int(text))
    except (KeyError, ValueError):
        names = ", ".join(r.name.lower() for r in Register)
        raise argparse.ArgumentTypeError(f"unknown register '{text}' (registers: {names})") from None


def _parser() -> argparse.ArgumentParser:
    line = argparse.ArgumentParser(add_help=False)
    line.add_argument("--port", required=True,
                      help="device: a serial port (/dev/ttyUSB0, COM3), or sim:0-5 (a simulated bus in the library)")
    line.add_argument("--baud", type=int, default=DEFAULT_BAUD, help=f"baud rate (default {DEFAULT_BAUD})")
    line.add_argument("--timeout-offset", type=int, default=DEFAULT_TIMEOUT_OFFSET_MS,
                      help="ms added to every reply time-out")
    line.add_argument("--no-echo", action="store_true", help="the line does not echo sent bytes back")
    ids_help = "servo ids: 3, 1,2, 0-5 or all (the servos that answer)"

    parser = argparse.ArgumentParser(prog="python -m zavlib", description="Drive serial-bus servos through zavlib.",
                                     epilog="Exit status: 0 done, 1 the servos did not do what was asked, "
                                            "2 a wrong command line, 3 the port could not be opened.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("scan", parents=[line], help=f"ping ids {ID_RANGE} and list the servos that answer")
    ping = commands.add_parser("ping", parents=[line], help="ask servos whether they answer")
    ping.add_argument("ids", type=_ids, metavar="IDS", help=ids_help)
    read = commands.add_parser("read", parents=[line], help="read registers of servos (all of them by default)")
    read.add_argument("ids", type=_ids, metavar="IDS", help=ids_help)
    read.add_argument("register", type=_register, nargs="?", metavar="REGISTER",
                      help="a register name (present_position, goal_position, ...) or address")
    move = commands.add_parser("move", parents=[line], help="take hold and send a goal position")
    move.add_argument("ids", type=_ids, metavar="IDS", help=ids_help)
    move.add_argument("goal", type=_goal, metavar="GOAL", help=f"goal position, {GOAL_RANGE}")
    move.add_argument("--wait", type=float, metavar="SECONDS", help="then wait up to this long until they arrive")
    release = commands.add_parser("release", parents=[line], help="turn servos' torque off")
    release.add_argument("ids", type=_ids, metavar="IDS", help=ids_help)
    ports = commands.add_parser("ports", help="list this machine's serial ports (runs zavctl ports)")
    ports.add_argument("--json", action="store_true", help="print the list as one JSON object")
    ports.add_argument("--all", action="store_true", help="also list pseudo-terminals")
    return parser


def _scan(port: Port, options: argparse.Namespace) -> int:
    found = port.scan()
    for servo in found:
        print(f"servo {servo:<3} present position {port.read(servo, Register.PRESENT_POSITION)}")
    if not found:
        print(f"zavlib: no servo answered on ids {ID_RANGE} (check the baud rate and the wiring)", file=sys.stderr)
        return EXIT_FAILED
    print(f"found {len(found)} servo{'s' if len(found) != 1 else ''}: {','.join(map(str, found))}")
    return 0


def _ping(port: Port, options: argparse.Namespace) -> int:
    silent = []
    for servo in options.ids:
        if port.ping(servo):
            print(f"servo {servo} answered")
        else:
            silent.append(servo)
            print(f"zavlib: servo {servo} did not answer within {port.reply_timeout_ms()} ms", file=sys.stderr)
    return EXIT_FAILED if silent else 0


def _read(port: Port, options: argparse.Namespace) -> int:
    registers = [options.register] if options.register is not None else list(Register)
    for servo in options.ids:
        values = ", ".join(f"{register.name.lower()} {port.read(servo, register)}" for register in registers)
        print(f"servo {servo}: {values}")
    return 0


def _move(port: Port, options: argparse.Namespace) -> int:
    for servo in options.ids:
        port.move(servo, options.goal)
        print(f"servo {servo} holds torque and moves to {options.goal}")
    if options.wait is not None:
        present = port.wait_until_arrived(options.ids, options.wait)
        print("arrived: " + ", ".join(f"servo {servo} at {position}" for servo, position in present.items()))
    return 0


def _release(port: Port, options: argparse.Namespace) -> int:
    port.release(options.ids)
    for servo in options.ids:
        print(f"servo {servo} released")
    return 0


COMMANDS: Dict[str, Callable[[Port, argparse.Namespace], int]] = {
    "scan": _scan, "ping": _ping, "read": _read, "move": _move, "release": _release,
}


def main(argv: Optional[List[str]] = None) -> int:
    options = _parser().parse_args(argv)  # exits 2 on a wrong command line
    if options.command == "ports":
        return _ports.run([flag for flag, wanted in (("--json", options.json), ("--all", options.all)) if wanted])
    try:
        port = Port(options.port, options.baud)
    except ZavError as error:
        print(f"zavlib: {error}", file=sys.stderr)
        return EXIT_CANNOT_OPEN
    with port:
        try:
            port.timeout_offset = options.timeout_offset
            port.echo_cancel = not options.no_echo
            if getattr(options, "ids", None) == []:  # all: the servos that answer
                options.ids = port.scan()
                if not options.ids:
                    print(f"zavlib: all means the servos that answer, and none answered on ids {ID_RANGE}",
                          file=sys.stderr)
                    return EXIT_FAILED
            return COMMANDS[options.command](port, options)
        except ZavError as error:
            print(f"zavlib: {error}", file=sys.stderr)
            return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
