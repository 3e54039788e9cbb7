"""python -m zavlib ports: the serial ports of this machine, as `zavctl ports` lists them.

The list comes from zavctl (the zavlib-tools package, or zavctl.exe beside the DLL in the
Windows zip), so that Linux's sysfs and Windows' SetupAPI are read in one place.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import List, Mapping, Optional

ENVIRONMENT_VARIABLE = "ZAVCTL"


def find_zavctl(environment: Optional[Mapping[str, str]] = None) -> Optional[str]:
    """ZAVCTL when set; else zavctl beside the library named by ZAVLIB_LIBRARY; else on PATH."""
    environment = os.environ if environment is None else environment
    explicit = environment.get(ENVIRONMENT_VARIABLE, "")
    if explicit:
        return explicit
    program = "zavctl.exe" if sys.platform == "win32" else "zavctl"
    library = environment.get("ZAVLIB_LIBRARY", "")
    if library:
        beside = Path(library).resolve().parent / program
        if beside.is_file():
            return str(beside)
    return shutil.which(program)


def run(arguments: List[str]) -> int:
    """Runs zavctl ports with arguments; its output is this command's output."""
    zavctl = find_zavctl()
    if zavctl is None:
        print(f"zavlib: ports needs zavctl (Debian: the zavlib-tools package; Windows: zavctl.exe from the zip); "
              f"put it on PATH or name it with {ENVIRONMENT_VARIABLE}", file=sys.stderr)
        return 1
    try:
        return subprocess.run([zavctl, "ports", *arguments], check=False).returncode
    except OSError as error:
        print(f"zavlib: cannot run {zavctl}: {error}", file=sys.stderr)
        return 1
