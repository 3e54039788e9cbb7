"""Finding the native zavlib library and declaring its 17 functions for ctypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

_HANDLE = ctypes.c_void_p
_BOOL = ctypes.c_uint8  # one-byte result: 1 success, 0 failure
_STATUS = ctypes.POINTER(ctypes.c_uint16)
_BYTES = ctypes.POINTER(ctypes.c_uint8)

# Result type and argument types of every exported function, as the C header declares them.
SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "ZAV_OpenPort": (_HANDLE, [ctypes.c_char_p, ctypes.c_int32]),
    "ZAV_ClosePort": (_BOOL, [_HANDLE]),
    "ZAV_Active": (_BOOL, [_HANDLE]),
    "ZAV_SetBaudrate": (_BOOL, [_HANDLE, ctypes.c_int32]),
    "ZAV_SetTimeOutOffset": (None, [_HANDLE, ctypes.c_int32]),
    "ZAV_SetEchoCancel": (None, [ctypes.c_uint32]),
    "GetQueryPerformanceCounter": (ctypes.c_double, []),
    "ZAV_TxPacket": (_BOOL, [_HANDLE, ctypes.c_uint32, ctypes.c_int32, _BYTES, ctypes.c_uint32, _STATUS]),
    "ZAV_RxPacket": (_BOOL, [_HANDLE, _BYTES, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32), ctypes.c_uint32,
                             _STATUS]),
    "ZAV_Ping": (_BOOL, [_HANDLE, ctypes.c_uint8, _STATUS]),
    "ZAV_ReadBlockData": (_BOOL, [_HANDLE, ctypes.c_uint8, ctypes.c_uint8, _BYTES, ctypes.c_uint32, _STATUS]),
    "ZAV_ReadWordData": (_BOOL, [_HANDLE, ctypes.c_uint8, ctypes.c_uint8, ctypes.POINTER(ctypes.c_uint16), _STATUS]),
    "ZAV_ReadByteData": (_BOOL, [_HANDLE, ctypes.c_uint8, ctypes.c_uint8, _BYTES, _STATUS]),
    "ZAV_WriteBlockData": (_BOOL, [_HANDLE, ctypes.c_uint8, ctypes.c_uint8, _BYTES, ctypes.c_uint32, _STATUS]),
    "ZAV_WriteWordData": (_BOOL, [_HANDLE, ctypes.c_uint8, ctypes.c_uint8, ctypes.c_uint16, _STATUS]),
    "ZAV_WriteByteData": (_BOOL, [_HANDLE, ctypes.c_uint8, ctypes.c_uint8, ctypes.c_uint8, _STATUS]),
    "ZAV_WriteSyncData": (_BOOL, [_HANDLE, _BYTES, ctypes.c_uint32, _STATUS]),
}

ENVIRONMENT_VARIABLE = "ZAVLIB_LIBRARY"
BUNDLE_DIRECTORY = Path(__file__).resolve().parent / "_lib"


class LibraryNotFound(Exception):
    """Raised by load() with every place it looked; the package turns it into a ZavError."""


def system_library(platform: str = sys.platform, is_64bit: bool = sys.maxsize > 2**32) -> Tuple[str, bool]:
    """The library's file name on this platform, and whether it uses the stdcall convention."""
    if platform == "win32":
        # The 32-bit DLL exports stdcall functions; the 64-bit one has a single convention.
        return ("zavlib_x64.dll", False) if is_64bit else ("zavlib_x32.dll", True)
    if platform == "darwin":
        return "libzavlib.1.dylib", False
    return "libzavlib.so.1", False


def candidates(environment: Optional[Mapping[str, str]] = None, platform: str = sys.platform,
               is_64bit: bool = sys.maxsize > 2**32) -> List[Tuple[str, str]]:
    """(where, what to load) in the order they are tried.

    A set ZAVLIB_LIBRARY is the only candidate: a library named on purpose is never
    silently replaced by another one.
    """
    explicit = (os.environ if environment is None else environment).get(ENVIRONMENT_VARIABLE, "")
    if explicit:
        return [(ENVIRONMENT_VARIABLE, explicit)]
    name, _ = system_library(platform, is_64bit)
    found: List[Tuple[str, str]] = [("copy bundled with the package", str(BUNDLE_DIRECTORY / name))]
    if platform == "win32":
        # Since Python 3.8 a bare DLL name is not looked up on PATH; find_library does that.
        path = ctypes.util.find_library(name)
        if path:
            found.append(("PATH", path))
    found.append(("system loader", name))
    return found


def _declare(library: Any) -> Any:
    for function_name, (result, arguments) in SIGNATURES.items():
        function = getattr(library, function_name)
        function.restype = result
        function.argtypes = arguments
    return library


def load(environment: Optional[Mapping[str, str]] = None) -> Any:
    """Loads the library from the first candidate that works and declares its functions."""
    if environment is None:
        environment = os.environ
    _, stdcall = system_library()
    loader: Callable[[str], Any] = getattr(ctypes, "WinDLL") if stdcall else ctypes.CDLL
    tried: List[str] = []
    for where, what in candidates(environment):
        if where.startswith("copy bundled") and not Path(what).exists():
            tried.append(f"{where}: {what} (not there)")
            continue
        try:
            return _declare(loader(what))
        except (OSError, AttributeError) as error:
            tried.append(f"{where}: {what} ({error})")
    if environment.get(ENVIRONMENT_VARIABLE):
        advice = f"Point {ENVIRONMENT_VARIABLE} at the library file, or unset it to use the bundled or installed one"
    else:
        advice = f"Set {ENVIRONMENT_VARIABLE} to the library's path, or install the library where the system finds it"
    raise LibraryNotFound("the zavlib native library could not be loaded; tried " + "; ".join(tried) + ". " + advice)


_library: Optional[Any] = None
_library_lock = threading.Lock()


def library() -> Any:
    """The loaded library, loaded on first use."""
    global _library
    with _library_lock:
        if _library is None:
            _library = load()
        return _library


def byte_array(data: Sequence[int] | bytes | bytearray, size: Optional[int] = None) -> Any:
    """A ctypes byte array holding data (or size zero bytes), accepted where the C side takes uint8_t *."""
    if size is not None:
        return (ctypes.c_uint8 * size)()
    raw = bytes(data)
    return (ctypes.c_uint8 * len(raw)).from_buffer_copy(raw)
