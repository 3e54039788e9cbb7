"""Optional bundling of the native library into the wheel.

With ZAVLIB_BUNDLE set to the library's path (several paths separated by os.pathsep),
the build copies it into the package, where the loader looks after ZAVLIB_LIBRARY, and
tags the wheel for the building platform (py3-none-linux_x86_64, for example): a wheel
with a native library inside must not claim to fit every platform. ZAVLIB_WHEEL_PLATFORM
names the platform instead when the library is for another one (win_amd64 with
zavlib_x64.dll, win32 with zavlib_x32.dll, linux_aarch64 from a cross build). Without
ZAVLIB_BUNDLE the wheel is pure Python (py3-none-any) and uses the library the system
provides. scripts/python-wheel.sh builds such wheels.
"""

import os
import shutil

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 takes it from the wheel package
    from wheel.bdist_wheel import bdist_wheel

BUNDLE = [path for path in os.environ.get("ZAVLIB_BUNDLE", "").split(os.pathsep) if path]
PLATFORM = os.environ.get("ZAVLIB_WHEEL_PLATFORM", "")
if PLATFORM and not BUNDLE:
    raise SystemExit("ZAVLIB_WHEEL_PLATFORM names the platform of a bundled library: set ZAVLIB_BUNDLE too")


class BuildPyWithLibrary(build_py):
    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "zavlib", "_lib")
        shutil.rmtree(target, ignore_errors=True)  # a copy left by an earlier bundling build
        if not BUNDLE:
            return
        os.makedirs(target)
        for path in BUNDLE:
            if not os.path.isfile(path):
                raise SystemExit(f"ZAVLIB_BUNDLE: {path} is not a file")
            shutil.copyfile(path, os.path.join(target, os.path.basename(path)))  # the file behind a link


class LibraryDistribution(Distribution):
    """With a library inside, the package is platform-specific: its files go to the
    wheel's root (platlib), not under .data/purelib."""

    def has_ext_modules(self):
        return bool(BUNDLE)


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        python, abi, platform = super().get_tag()
        return ("py3", "none", PLATFORM or platform) if BUNDLE else (python, abi, platform)


setup(distclass=LibraryDistribution, cmdclass={"build_py": BuildPyWithLibrary, "bdist_wheel": PlatformWheel})
