"""scripts/check_facts.py on a copy of the tree: clean it passes, and each planted drift (one
per table, a header change, a meaning reworded, a number written out by hand) fails with
a message naming the file and the constant.

Run: python3 -m pytest -q tests/facts
"""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
SKIPPED = {".git", "node_modules", "__pycache__"}

# (file, text to replace (once), replacement, words the report must contain)
DRIFTS = [
    ("bindings/python/src/zavlib/_facts.py", "GOAL_MAX = 12000", "GOAL_MAX = 12001",
     ["bindings/python/src/zavlib/_facts.py:", "GOAL_MAX is 12001", "ZAV_GOAL_MAX 12000"]),
    ("bindings/python/src/zavlib/_facts.py", "    ERR_REPLY = 0x0800", "    ERR_REPLY = 0x0200",
     ["_facts.py:", "ERR_REPLY is 512"]),
    ("bindings/python/src/zavlib/_facts.py", "of sub-code 2, 1 to 127;", "of sub-code 2, 1 to 100;",
     ["_facts.py:", "ZAV_REG_SC2_VALUE means"]),
    ("bindings/python/src/zavlib/_facts.py", 'VERSION = "1.1.0"', 'VERSION = "1.0.9"',
     ["_facts.py:", "VERSION is '1.0.9'"]),
    ("bindings/csharp/Facts.cs", "public const int ReplyKShort = 50000;", "public const int ReplyKShort = 50001;",
     ["bindings/csharp/Facts.cs:", "REPLY_K_SHORT is 50001", "ZAV_REPLY_K_SHORT 50000"]),
    ("bindings/csharp/Facts.cs", "        Sc3Value = 8,", "        Sc3Value = 7,",
     ["Facts.cs:", "ZAV_REG_SC3_VALUE is 7"]),
    ("bindings/vba/zavlib.bas", "ERR_TIMEOUT As Integer = &H100", "ERR_TIMEOUT As Integer = &H200",
     ["bindings/vba/zavlib.bas:", "ERR_TIMEOUT is 512"]),
    ("bindings/labview/README.md", "| `ZAV_PARAM_MAX` | 127 |", "| `ZAV_PARAM_MAX` | 126 |",
     ["bindings/labview/README.md:", "ZAV_PARAM_MAX is 126"]),
    ("tools/dashboard/facts.js", "  PARAM_MIN: 1,", "  PARAM_MIN: 0,",
     ["tools/dashboard/facts.js:", "PARAM_MIN is 0"]),
    ("tools/dashboard/facts.js", "  GOAL_CENTER: 7500,\n", "",
     ["tools/dashboard/facts.js:", "ZAV_GOAL_CENTER of include/zavlib.h is missing"]),
    ("tools/wireshark/zavbus.lua", "SC4_OFFSET = 41.55,", "SC4_OFFSET = 41.5,",
     ["tools/wireshark/zavbus.lua:", "SC4_OFFSET is 41.5"]),
    ("tools/zavctl/facts.h", '{ZAV_REG_SC1_VALUE, "sc1_value"', '{ZAV_REG_SC2_VALUE, "sc1_value"',
     ["tools/zavctl/facts.h:", "sc1_value", "ZAV_REG_SC2_VALUE"]),
    ("tools/zavctl/facts.h", "{ZAV_PARAM_MIN, ZAV_PARAM_MAX,", "{ZAV_PARAM_MIN, 126,",
     ["tools/zavctl/facts.h:", "kParamRange"]),
    ("README.md", "| 4 | `sc2_value` | Writable", "| 4 | `sc2_value` | Settable",
     ["README.md:", "ZAV_REG_SC2_VALUE means"]),
    # The source changes: every table that holds the fact now differs from it.
    ("include/zavlib.h", "#define ZAV_GOAL_MAX 12000u", "#define ZAV_GOAL_MAX 11000u",
     ["_facts.py:", "Facts.cs:", "zavlib.bas:", "labview/README.md:", "facts.js:", "ZAV_GOAL_MAX 11000"]),
    ("include/zavlib.h", "#define ERR_PORT 0x0400u    /* device not open,", "#define ERR_PORT 0x0400u    /* port not open,",
     ["_facts.py:", "ERR_PORT means", "tools/zavctl/facts.h:"]),
    # Numbers written out by hand outside the tables, in C++ and Python code.
    ("src/servo_bus.cpp", "position = ZAV_GOAL_CENTER + 100.0", "position = 7500.0 + 100.0",
     ["src/servo_bus.cpp:", "7500 is written out by hand", "ZAV_GOAL_CENTER"]),
    ("bindings/python/src/zavlib/_port.py", "reply_timeout_ms(self._timeout_offset, self._baudrate)",
     "int(self._timeout_offset + 60000 / self._baudrate)",
     ["bindings/python/src/zavlib/_port.py:", "60000 is written out by hand", "ZAV_REPLY_K_LONG"]),
]


@pytest.fixture(scope="module")
def tree(tmp_path_factory: pytest.TempPathFactory) -> Path:
    copy = tmp_path_factory.mktemp("facts") / "zavlib"
    shutil.copytree(REPOSITORY, copy, ignore=lambda folder, names: [
        name for name in names if name in SKIPPED or (name.startswith("build") and Path(folder) == REPOSITORY)])
    return copy


def check(tree: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(tree / "scripts" / "check_facts.py"), "--root", str(tree)],
                          capture_output=True, text=True, timeout=120)


def test_the_tree_as_it_is_passes(tree: Path) -> None:
    result = check(tree)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "differences: 0" in result.stdout


@pytest.mark.parametrize("path, old, new, expected", DRIFTS, ids=[f"{d[0]}: {d[2].strip()[:40]}" for d in DRIFTS])
def test_a_planted_drift_fails_naming_file_and_constant(tree: Path, path: str, old: str, new: str,
                                                        expected: list) -> None:
    file = tree / path
    original = file.read_bytes()
    text = original.decode()
    assert text.count(old) == 1, f"{path} no longer holds {old!r} once: update this row"
    try:
        file.write_bytes(text.replace(old, new).encode())
        result = check(tree)
    finally:
        file.write_bytes(original)
    assert result.returncode == 1, result.stdout
    for words in expected:
        assert words in result.stdout, f"{words!r} missing from:\n{result.stdout}"
