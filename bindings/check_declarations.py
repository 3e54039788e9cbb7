#!/usr/bin/env python3
"""Checks every binding's declarations against include/zavlib.h.

Each declaration set (Python ctypes; C# for 32-bit Windows, 64-bit Windows and other
systems; VBA for 64-bit Office, 32-bit Office and VB6; the LabVIEW table) must declare
all exported functions and nothing else, each with the header's number of arguments,
each argument of the same kind (integer, pointer, floating point) and size for that
target, a pointer to what the header's points to (the 16-bit status word, a byte
buffer, a C string, the opaque port handle), the same result, and the right library
file and calling convention.
Exits 1, listing every difference, when a binding has drifted.
"""

import ctypes
import re
import sys
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
# (kind, size, what a pointer points to): ("int", 2, ""), ("float", 8, ""), ("void", 0, ""),
# ("ptr", 8, 2) for a pointer to a 16-bit integer, ("ptr", 8, 1) for a byte buffer,
# ("ptr", 8, "char") for a C string, ("ptr", 8, OPAQUE) for the port handle.
Type = Tuple[str, int, object]
Signature = Tuple[Type, List[Type]]
OPAQUE = "opaque"  # the handle, and a binding's untyped pointer (IntPtr, LongPtr, c_void_p)


def pointer(size: int, target: object) -> Type:
    return ("ptr", size, target)


def value(kind: str, size: int) -> Type:
    return (kind, size, "")


def header(pointer_size: int) -> Dict[str, Signature]:
    c_types = {"uint8_t": value("int", 1), "ZavBool": value("int", 1), "uint16_t": value("int", 2),
               "StatusWord": value("int", 2), "int32_t": value("int", 4), "uint32_t": value("int", 4),
               "double": value("float", 8), "void": value("void", 0), "char": value("char", 1),
               "PortHandle": pointer(pointer_size, OPAQUE)}

    def c_type(text: str) -> Type:
        words = [w for w in text.replace("*", " * ").split() if w != "const"]
        if words[-1] == "*" and len(words) == 2 and words[0] in c_types:
            target = c_types[words[0]]
            return pointer(pointer_size, "char" if target[0] == "char" else target[1])
        if len(words) != 1 or words[0] not in c_types or words[0] == "char":
            raise SystemExit(f"check_declarations: unknown C type '{text}': teach this script its size")
        return c_types[words[0]]

    source = (ROOT / "include" / "zavlib.h").read_text()
    functions = {}
    declarations = re.findall(r"^ZAV_API[ \t]+([\w \t*]+?)\s+ZAV_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", source, re.M)
    for result, name, parameters in declarations:
        arguments = [] if parameters.strip() == "void" else [
            c_type(re.sub(r"\w+\s*$", "", p.strip())) for p in parameters.split(",")]
        functions[name] = (c_type(result), arguments)
    return functions


def python_set() -> Dict[str, Signature]:
    sys.path.insert(0, str(ROOT / "bindings" / "python" / "src"))
    from zavlib import _native  # the declarations only; the library is not loaded

    size = ctypes.sizeof(ctypes.c_void_p)

    def kind(t: object) -> Type:
        if t is None:
            return value("void", 0)
        if t is ctypes.c_char_p:
            return pointer(size, "char")
        if t is ctypes.c_void_p:
            return pointer(size, OPAQUE)
        if issubclass(t, ctypes._Pointer):  # type: ignore
            return pointer(size, ctypes.sizeof(t._type_))  # type: ignore
        if t in (ctypes.c_double, ctypes.c_float):
            return value("float", ctypes.sizeof(t))
        return value("int", ctypes.sizeof(t))

    return {name: (kind(result), [kind(a) for a in arguments])
            for name, (result, arguments) in _native.SIGNATURES.items()}


CSHARP = {"byte": 1, "sbyte": 1, "ushort": 2, "short": 2, "int": 4, "uint": 4, "bool": 4, "long": 8, "ulong": 8}


def csharp_type(text: str, pointer_size: int) -> Type:
    words = text.split()
    if words[0] in ("ref", "out"):
        return pointer(pointer_size, CSHARP[words[1]])
    if words[0].endswith("[]"):
        return pointer(pointer_size, CSHARP[words[0][:-2]])
    if words[0] == "string":
        return pointer(pointer_size, "char")  # marshalled as a C string (LPStr)
    if words[0] in ("IntPtr", "UIntPtr"):
        return pointer(pointer_size, OPAQUE)
    if words[0] == "void":
        return value("void", 0)
    if words[0] in ("double", "float"):
        return value("float", 8 if words[0] == "double" else 4)
    return value("int", CSHARP[words[0]])


def csharp_method(result: str, parameters: str, pointer_size: int) -> Signature:
    parameters = re.sub(r"\[[A-Za-z][^\]]*\]", "", parameters)  # attributes such as [Out], [MarshalAs(...)]
    arguments = [csharp_type(p, pointer_size) for p in parameters.split(",")] if parameters.strip() else []
    return csharp_type(result, pointer_size), arguments


def csharp_sets(problems: List[str]) -> Dict[str, Tuple[int, Dict[str, Signature]]]:
    source = (ROOT / "bindings" / "csharp" / "Native.cs").read_text()
    expected = {"X32": ("zavlib_x32.dll", "StdCall", 4), "X64": ("zavlib_x64.dll", "Cdecl", 8),
                "Unix": ("zavlib", "Cdecl", 8)}
    sets = {}
    classes = re.split(r"\n\s*static class (\w+)\s*\n", source)
    public_part = classes[0]
    sets["C# Native (public methods, 64-bit)"] = (8, {
        name: csharp_method(result, parameters, 8)
        for result, name, parameters in re.findall(r"^\s*public static (\w+) (\w+)\((.*)\)\s*$", public_part, re.M)})
    for class_name, body in zip(classes[1::2], classes[2::2]):
        library, convention, pointer_size = expected.get(class_name, ("?", "?", 8))
        if f'Library = "{library}"' not in body:
            problems.append(f"C# {class_name}: does not load {library}")
        if f"Convention = CallingConvention.{convention};" not in body:
            problems.append(f"C# {class_name}: calling convention is not {convention}")
        functions = {}
        for attribute, result, name, parameters in re.findall(
                r"\[DllImport\((.*?)\)\]\s*public static extern (\w+) (\w+)\((.*)\);\s*$", body, re.M):
            if "CallingConvention = Convention" not in attribute or "ExactSpelling = true" not in attribute:
                problems.append(f"C# {class_name}.{name}: DllImport lacks the set's convention or exact spelling")
            functions[name] = csharp_method(result, parameters, pointer_size)
        sets[f"C# {class_name} ({library}, {pointer_size * 8}-bit)"] = (pointer_size, functions)
    return sets


def vba_type(text: str, pointer_size: int, returned: bool) -> Type:
    sizes = {"Byte": 1, "Integer": 2, "Boolean": 2, "Long": 4, "LongLong": 8, "Currency": 8}
    if returned:
        name = text
    else:
        match = re.fullmatch(r"(?:(ByVal|ByRef)\s+)?\w+(?:\(\))?\s+As\s+(\w+)", text.strip())
        if not match:
            raise SystemExit(f"check_declarations: cannot read the VBA parameter '{text}'")
        passing, name = match.groups()
        if passing != "ByVal":  # ByRef is VBA's default: a pointer to the variable
            return pointer(pointer_size, sizes.get(name, name))
        if name == "String":  # ByVal String goes out as a C string
            return pointer(pointer_size, "char")
    if name == "LongPtr":
        return pointer(pointer_size, OPAQUE)
    if name in ("Double", "Single"):
        return value("float", 8 if name == "Double" else 4)
    return value("int", sizes[name])


def vba_sets(problems: List[str]) -> Dict[str, Tuple[int, Dict[str, Signature]]]:
    branches = {"Win64": ("zavlib_x64.dll", True, 8), "VBA7": ("zavlib_x32.dll", True, 4),
                "VB6": ("zavlib_x32.dll", False, 4)}
    sets: Dict[str, Tuple[int, Dict[str, Signature]]] = {}
    branch: Optional[str] = None
    for line in (ROOT / "bindings" / "vba" / "zavlib.bas").read_text().splitlines():
        line = line.strip()
        if line.startswith("#If Win64"):
            branch = "Win64"
        elif line.startswith("#ElseIf VBA7"):
            branch = "VBA7"
        elif line.startswith("#Else") and branch == "VBA7":
            branch = "VB6"
        elif line.startswith("#End If"):
            branch = None
        match = re.match(r'Public Declare (PtrSafe )?(Function|Sub) (\w+) Lib "([^"]+)" \(([^)]*)\)(?: As (\w+))?$', line)
        if not match:
            continue
        ptr_safe, kind, name, library, parameters, result = match.groups()
        if branch is None:
            problems.append(f"VBA {name}: declared outside the bitness branches")
            continue
        expected_library, needs_ptr_safe, pointer_size = branches[branch]
        if library != expected_library or bool(ptr_safe) != needs_ptr_safe:
            problems.append(f"VBA {branch} {name}: expected Lib \"{expected_library}\""
                            f"{' with PtrSafe' if needs_ptr_safe else ' without PtrSafe'}")
        arguments = [vba_type(p, pointer_size, False) for p in parameters.split(",")] if parameters.strip() else []
        returned = value("void", 0) if kind == "Sub" else vba_type(result or "Variant", pointer_size, True)
        label = f"VBA {branch} ({expected_library}, {pointer_size * 8}-bit)"
        sets.setdefault(label, (pointer_size, {}))[1][name] = (returned, arguments)
    for branch_name in branches:
        if not any(label.startswith(f"VBA {branch_name} ") for label in sets):
            problems.append(f"VBA: no declarations for {branch_name}")
    return sets


def labview_set() -> Dict[str, Signature]:
    # Pointer size 0: one table serves both bitnesses.
    types = {"U8": value("int", 1), "U16": value("int", 2), "I32": value("int", 4), "U32": value("int", 4),
             "DBL": value("float", 8), "void": value("void", 0), "UPTR": pointer(0, OPAQUE),
             "CSTR": pointer(0, "char")}

    def lv(text: str) -> Type:
        if text.startswith("*") or (text.startswith("[") and text.endswith("]")):
            return pointer(0, types[text.strip("*[]")][1])
        return types[text]

    functions = {}
    table = (ROOT / "bindings" / "labview" / "README.md").read_text()
    for name, result, parameters in re.findall(r"^\| `(\w+)` \| `([^`]+)` \| (.*) \|$", table, re.M):
        arguments = [lv(t) for t in re.findall(r"`([^`]+)`", parameters)]
        functions[name] = (lv(result), arguments)
    return functions


def same(binding: Type, c: Type, pointer_size: int) -> bool:
    if binding == c:
        return True
    if binding[0] == "ptr" and c[0] == "ptr" and 0 in (binding[1], c[1]):
        return binding[2] == c[2]  # a table that holds for both bitnesses
    # A language without pointer types (VB6) passes the handle as an integer of its size.
    return c == pointer(pointer_size, OPAQUE) and binding == value("int", pointer_size)


def compare(label: str, pointer_size: int, declared: Dict[str, Signature], problems: List[str]) -> None:
    reference = header(pointer_size)
    for name in sorted(set(reference) - set(declared)):
        problems.append(f"{label}: {name} is missing")
    for name in sorted(set(declared) - set(reference)):
        problems.append(f"{label}: {name} is not a function of the library")
    for name in sorted(set(declared) & set(reference)):
        (result, arguments), (c_result, c_arguments) = declared[name], reference[name]
        if not same(result, c_result, pointer_size):
            problems.append(f"{label}: {name} returns {result}, the header {c_result}")
        if len(arguments) != len(c_arguments):
            problems.append(f"{label}: {name} takes {len(arguments)} arguments, the header {len(c_arguments)}")
            continue
        for index, (argument, c_argument) in enumerate(zip(arguments, c_arguments), 1):
            if not same(argument, c_argument, pointer_size):
                problems.append(f"{label}: {name} argument {index} is {argument}, the header {c_argument}")


def main() -> int:
    problems: List[str] = []
    sets: Dict[str, Tuple[int, Dict[str, Signature]]] = {
        "Python ctypes": (ctypes.sizeof(ctypes.c_void_p), python_set()),
        "LabVIEW table": (8, labview_set()),
    }
    sets.update(csharp_sets(problems))
    sets.update(vba_sets(problems))
    count = len(header(8))
    for label, (pointer_size, declared) in sets.items():
        before = len(problems)
        compare(label, pointer_size, declared, problems)
        print(f"{'ok' if len(problems) == before else 'DRIFT'}: {label}: {len(declared)} of {count} functions")
    for problem in problems:
        print(f"  {problem}")
    print(f"declaration sets: {len(sets)}, differences: {len(problems)}")
    if count == 0:
        print("  no function found in include/zavlib.h")
    return 1 if problems or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
