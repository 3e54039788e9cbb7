"""Scan a bus, move every servo found to a goal and back, and release them.

    python scan_and_move.py --port /dev/ttyUSB0
    python scan_and_move.py --port /tmp/ttyZAV      # a bus simulated by zavsim
"""

import argparse
import sys
import time

import zavlib


def wait_until_arrived(port: zavlib.Port, goals: dict, seconds: float = 10.0, tolerance: int = 10) -> bool:
    """Prints the positions until every servo is within tolerance of its goal."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        positions = {servo: port.read(servo, "present_position") for servo in goals}
        print("  " + "  ".join(f"{servo}: {position:5}" for servo, position in positions.items()))
        if all(abs(positions[servo] - goal) <= tolerance for servo, goal in goals.items()):
            return True
        time.sleep(0.1)
    return False


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", required=True, help="serial device, e.g. /dev/ttyUSB0 or COM3")
    parser.add_argument("--baud", type=int, default=115200)
    options = parser.parse_args()

    try:
        with zavlib.Port(options.port, options.baud) as port:
            servos = port.scan()
            if not servos:
                print("no servo answered")
                return 1
            print(f"found servos {servos}")

            # Take hold of each servo where it stands, then send goals to all at once:
            # a goal sent to a released servo would be dropped.
            for servo in servos:
                port.write(servo, "torque_enable", 1)
            per_write = zavlib.sync_max_servos(zavlib.Register.GOAL_POSITION.width)
            for goal in (4000, 11000, zavlib.GOAL_CENTER):
                goals = {servo: goal for servo in servos}
                print(f"moving to {goal}")
                for first in range(0, len(servos), per_write):  # the most one sync write takes
                    port.sync_write("goal_position", {servo: goal for servo in servos[first:first + per_write]})
                if not wait_until_arrived(port, goals):
                    print("the servos did not arrive in time")
                    return 1

            for servo in servos:
                port.write(servo, "torque_enable", 0)
            print("released")
    except zavlib.ZavError as error:
        print(f"failed: {error} (flags {error.flag_names})", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
