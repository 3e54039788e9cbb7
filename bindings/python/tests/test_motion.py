"""Motions: the table of motion files and the golden sampled goals that the C++ engine's
tests read too (tests/data/motion), the JSON Schema held to that table, and playback and
teach-in on a simulated bus."""

import json
import threading
from pathlib import Path

import jsonschema
import pytest

import zavlib
from zavlib import Motion, MotionError

REPOSITORY = Path(__file__).resolve().parents[3]
DATA = REPOSITORY / "tests" / "data" / "motion"
CASES = json.loads((DATA / "cases.json").read_text(encoding="utf-8"))["cases"]
GOLDEN = json.loads((DATA / "golden.json").read_text(encoding="utf-8"))["sets"]
SCHEMA = json.loads((REPOSITORY / "tools" / "motion" / "zavlib-motion.schema.json").read_text(encoding="utf-8"))


@pytest.mark.parametrize("case", CASES, ids=[case["name"] for case in CASES])
def test_motion_files_are_read_or_refused_as_the_table_says(case):
    text = case["text"] if "text" in case else json.dumps(case["motion"], ensure_ascii=False)
    if case.get("error") is None and "error_contains" not in case:
        motion = Motion.loads(text)
        assert len(motion.timeline) == len(case["motion"]["timeline"])
        assert Motion.loads(motion.dumps()).dumps() == motion.dumps()  # what is written reads back the same
        return
    with pytest.raises(MotionError) as caught:
        Motion.loads(text.encode("utf-8"))
    if "error_contains" in case:
        assert all(part in str(caught.value) for part in case["error_contains"]), str(caught.value)
    else:
        assert str(caught.value) == case["error"]


def test_the_schema_agrees_with_the_table():
    jsonschema.Draft202012Validator.check_schema(SCHEMA)
    validator = jsonschema.Draft202012Validator(SCHEMA)
    for case in CASES:
        if "motion" in case:
            expected = case["error"] is None or case["schema"] == "accepts"
            assert validator.is_valid(case["motion"]) == expected, case["name"]


@pytest.mark.parametrize("golden", GOLDEN, ids=[golden["name"] for golden in GOLDEN])
def test_sampled_goals_match_the_golden_set(golden):
    motion = Motion.loads(json.dumps(golden["motion"]))
    got = {str(servo): [] for servo in motion.servos}
    for k in range(golden["count"]):
        for servo, goal in motion.sample(k * golden["step"]).items():
            got[str(servo)].append(goal)
    assert got == golden["goals"]


def test_save_keeps_the_old_file_when_the_motion_is_refused(tmp_path):
    path = tmp_path / "wave.json"
    motion = Motion.load(REPOSITORY / "examples" / "wave.json")
    motion.save(path)
    assert Motion.load(path) == motion
    motion.poses["wave_up"][1] = 3000  # below servo 1's limits
    with pytest.raises(MotionError, match=r'wave.json was not written: timeline\[1\] \(at 1 s, pose "wave_up"\): '
                                          r"servo 1: goal 3000 is outside its limits 3500 to 11000"):
        motion.save(path)
    assert Motion.load(path).poses["wave_up"][1] == 4000
    with pytest.raises(MotionError, match="missing.json: cannot be opened"):
        Motion.load(tmp_path / "missing.json")


def test_plays_stops_refuses_and_records_on_a_simulated_bus(bus, port):
    bus = port(bus("--ids", "1,2,3", "--speed", "100000", "--position", "1=9000", "--position", "3=4000"))
    motion = Motion.loads(json.dumps(GOLDEN[0]["motion"]))
    ticks = []
    # Ticks long enough for a bus that a loaded machine slows down.
    report = bus.play(motion, tick_ms=200, approach_speed=5000, on_tick=lambda t, loop, goals: ticks.append(goals))
    # The approach takes 1.875 * 5000 / 5000 s for servo 1; the motion 3 s more.
    assert report.approach_s == 1.875
    assert (report.ticks + report.skipped, report.loops_done, report.stopped) == (26, 1, False)
    assert len(ticks) == report.ticks
    bound = 5000 * 0.200 * (1 + report.skipped) + 1  # a tick's worth at the approach's peak speed
    assert all(abs(b[1] - a[1]) <= bound for a, b in zip([{1: 9000}] + ticks, ticks)), "servo 1 jumped"
    assert [bus.read(servo, "goal_position") for servo in (1, 2, 3)] == [8000] * 3

    stop = threading.Event()
    report = bus.play(motion, tick_ms=200, loops=0, release_at_end=True, approach_speed=40000, stop=stop,
                      on_tick=lambda t, loop, goals: stop.set() if loop == 2 else None)
    assert (report.stopped, report.released, report.loops_done) == (True, True, 1)
    assert [bus.read(servo, "torque_enable") for servo in (1, 2, 3)] == [0, 0, 0]
    with pytest.raises(ValueError, match=r"a tick of 0.5 ms is shorter than this bus allows for 3 servos at 115200 "
                                         r"baud: at least \d+\.\d ms"):
        bus.play(motion, tick_ms=0.5)

    standing = {servo: bus.read(servo, "present_position") for servo in (1, 2)}
    recording = bus.record([2, 1], seconds=0.4, rate_hz=5)
    assert [bus.read(servo, "torque_enable") for servo in (1, 2)] == [0, 0]
    # Servos that stood still give their first and last samples.
    assert [(keyframe.at, keyframe.goals) for keyframe in recording.timeline] == [(0.0, standing), (0.4, standing)]
    assert bus.play(recording, tick_ms=200).ticks >= 1
    assert zavlib.Motion.loads(recording.dumps()) == recording
