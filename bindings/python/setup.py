"""Optional bundling of the native library into the wheel.

With ZAVLIB_BUNDLE set to the library's path (several paths separated by os.pathsep),
the build copies it into the package, where the loader looks after ZAVLIB_LIBRARY, and
tags the wheel for the building platform (py3-none-linux_x86_64, for example): a wheel
with a native library inside must not claim to fit every platform. Without it the wheel
is pure Python (py3-none-any) and uses the library the system provides.
"""

import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 takes it from the wheel package
    from wheel.bdist_wheel import bdist_wheel

BUNDLE = [path for path in os.environ.get("ZAVLIB_BUNDLE", "").split(os.pathsep) if path]


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


class PlatformWheel(bdist_wheel):
    def finalize_options(self):
        super().finalize_options()
        if BUNDLE:
            self.root_is_pure = False

    def get_tag(self):
        python, abi, platform = super().get_tag()
        return ("py3", "none", platform) if BUNDLE else (python, abi, platform)


setup(cmdclass={"build_py": BuildPyWithLibrary, "bdist_wheel": PlatformWheel})
