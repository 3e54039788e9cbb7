"""python -m zavlib scan --port DEVICE: list the servos that answer."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from . import ID_RANGE, Port, ZavError
from ._facts import DEFAULT_BAUD, DEFAULT_TIMEOUT_OFFSET_MS


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zavlib", description="Drive serial-bus servos through zavlib.")
    commands = parser.add_subparsers(dest="command", required=True)
    scan = commands.add_parser("scan", help=f"ping ids {ID_RANGE} and list the servos that answer")
    scan.add_argument("--port", required=True, help="serial device, e.g. /dev/ttyUSB0 or COM3")
    scan.add_argument("--baud", type=int, default=DEFAULT_BAUD, help=f"baud rate (default {DEFAULT_BAUD})")
    scan.add_argument("--timeout-offset", type=int, default=DEFAULT_TIMEOUT_OFFSET_MS,
                      help="ms added to every reply time-out")
    scan.add_argument("--no-echo", action="store_true", help="the line does not echo sent bytes back")
    options = parser.parse_args(argv)

    try:
        with Port(options.port, options.baud) as port:
            port.timeout_offset = options.timeout_offset
            port.echo_cancel = not options.no_echo
            found = port.scan()
            for servo in found:
                print(f"servo {servo:<3} present position {port.read(servo, 'present_position')}")
    except ZavError as error:
        print(f"zavlib: {error}", file=sys.stderr)
        return 1
    if not found:
        print(f"zavlib: no servo answered on ids {ID_RANGE} (check the baud rate and the wiring)", file=sys.stderr)
        return 1
    print(f"found {len(found)} servo{'s' if len(found) != 1 else ''}: {','.join(map(str, found))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
