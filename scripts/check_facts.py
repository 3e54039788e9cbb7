#!/usr/bin/env python3
"""Checks every table of the bus's facts against include/zavlib.h, and that no code
writes a fact out by hand.

The header is the source: its numeric #defines (the version, flags, ids, ranges,
commands, sub-codes, time-outs, limits, registers), the comment on each flag and the
comment above each register (what it holds, as far as the bus defines it). Each
language keeps one table of them:

  C++ tools      tools/zavctl/facts.h                 (the rest of C and C++ uses the header)
  Python         bindings/python/src/zavlib/_facts.py
  C#             bindings/csharp/Facts.cs
  VBA            bindings/vba/zavlib.bas
  LabVIEW        bindings/labview/README.md           (its tables of constants and registers)
  dashboard      tools/dashboard/facts.js
  dissector      tools/wireshark/zavbus.lua           (its FACTS table)
  README         README.md                            ("Units and meanings")

Every name in a table must be a fact of the header with the header's value (a range
both its ends), every table must hold the facts its code needs, and every explanation
must read as the header's. Code outside the tables (tests aside) must not spell out the
numbers that only the facts give (3000, 12000, 7500, 60000, 50000, 41.55).

Prints each difference as FILE:LINE: NAME ..., and exits 1 if there is any.
Usage: scripts/check_facts.py [--root DIR]
"""

from __future__ import annotations

import argparse
import ast
import io
import re
import sys
import tokenize
from pathlib import Path
from typing import Callable, Dict, Iterable, List, NamedTuple, Optional, Set, Tuple, Union

Number = Union[int, float]
HEADER = "include/zavlib.h"


class Fact(NamedTuple):
    name: str  # the name in the table, as written there
    value: object  # a number, or a string (a version)
    line: int


class Table(NamedTuple):
    path: str
    facts: List[Fact]  # named constants
    meanings: Dict[str, Tuple[str, int]]  # header name -> (text, line)


class Problems:
    def __init__(self) -> None:
        self.lines: List[str] = []

    def add(self, path: str, line: int, text: str) -> None:
        self.lines.append(f"{path}:{line}: {text}")


def normalize(text: str) -> str:
    return " ".join(text.split())


def number(text: str) -> Number:
    """A C, C#, JS, Lua or VBA numeric literal: 12000u, 0x80u, (-63), 41.55, &H8000."""
    text = text.strip().strip("()").strip()
    negative = text.startswith("-")
    text = text.lstrip("-").strip()
    if text.upper().startswith("&H"):
        value: Number = int(text[2:].rstrip("&"), 16)
    elif re.fullmatch(r"0[xX][0-9a-fA-F]+[uUlL]*", text):
        value = int(text.rstrip("uUlL"), 16)
    elif re.fullmatch(r"[0-9]+[uUlL]*", text):
        value = int(text.rstrip("uUlL"))
    else:
        value = float(text)
    return -value if negative else value


# ---------------------------------------------------------------------------
# The header


class Header(NamedTuple):
    values: Dict[str, Number]
    meanings: Dict[str, str]  # ERR_* and ZAV_REG_* -> their comment
    version: str

    def registers(self) -> Dict[str, int]:
        """ZAV_REG_GOAL_POSITION -> 2, ..."""
        return {name: int(value) for name, value in self.values.items() if name.startswith("ZAV_REG_")}

    def width(self, register: str) -> int:
        """Words are the registers whose next byte is no register of its own."""
        address = self.registers()[register]
        follows = address + 1
        return 2 if follows < self.values["ZAV_REGISTER_COUNT"] and follows not in self.registers().values() else 1

    def signed(self, register: str) -> bool:
        """The readings that can be negative (ZAV_SC3_VALUE: ZAV_SC3_MIN < 0)."""
        stem = register[len("ZAV_REG_"):].replace("_VALUE", "")
        return self.values.get(f"ZAV_{stem}_MIN", 0) < 0


def read_header(root: Path) -> Header:
    text = (root / HEADER).read_text()
    values: Dict[str, Number] = {}
    meanings: Dict[str, str] = {}
    last_comment = ""
    last_comment_end = -1
    lines = text.splitlines()
    index = 0
    while index < len(lines):
        line = lines[index]
        if line.lstrip().startswith("/*"):
            block = [line]
            while "*/" not in block[-1]:
                index += 1
                block.append(lines[index])
            body = "\n".join(block)
            body = re.sub(r"^\s*/\*|\*/\s*$", "", body.strip())
            last_comment = normalize(re.sub(r"^\s*\* ?", "", body, flags=re.M))
            last_comment_end = index
        define = re.match(r"#define\s+(\w+)\s+(\(?-?\s*(?:0[xX][0-9a-fA-F]+|[0-9]+(?:\.[0-9]+)?)[uUlL]*\)?)\s*(?:/\*(.*?)\*/)?\s*$",
                          line)
        if define:
            name, literal, comment = define.groups()
            values[name] = number(literal)
            if name.startswith("ERR_") and comment:
                meanings[name] = normalize(comment)
            if name.startswith("ZAV_REG_") and last_comment_end == index - 1:
                meanings[name] = last_comment
        index += 1
    version = ".".join(str(values[f"ZAVLIB_VERSION_{part}"]) for part in ("MAJOR", "MINOR", "PATCH"))
    return Header(values, meanings, version)


def header_name(table_name: str, header: Header) -> Optional[str]:
    """The header's name for a table's: the same, or with ZAV_ or ZAVLIB_ in front."""
    for candidate in (table_name, "ZAV_" + table_name, "ZAVLIB_" + table_name):
        if candidate in header.values:
            return candidate
    return None


def snake(pascal: str) -> str:
    """GoalMin -> GOAL_MIN, ReplyKLong -> REPLY_K_LONG, Id0AltReplyBaud -> ID0_ALT_REPLY_BAUD."""
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])", "_", pascal).upper()


# ---------------------------------------------------------------------------
# The tables, one reader per language


def python_table(root: Path, path: str) -> Table:
    tree = ast.parse((root / path).read_text())
    facts: List[Fact] = []
    meanings: Dict[str, Tuple[str, int]] = {}

    def constant(node: ast.AST) -> object:
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
            inner = constant(node.operand)
            return -inner if isinstance(inner, (int, float)) else None
        return node.value if isinstance(node, ast.Constant) else None

    def assignments(body: Iterable[ast.stmt]) -> Iterable[Tuple[str, ast.AST, int]]:
        for statement in body:
            if isinstance(statement, ast.Assign) and len(statement.targets) == 1 and \
                    isinstance(statement.targets[0], ast.Name):
                yield statement.targets[0].id, statement.value, statement.lineno
            elif isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name) and statement.value:
                yield statement.target.id, statement.value, statement.lineno

    for name, value, line in assignments(tree.body):
        literal = constant(value)
        if name.isupper() and isinstance(literal, (int, float, str)) and not isinstance(literal, bool):
            facts.append(Fact(name, literal, line))
        if name in ("MEANINGS", "FLAG_MEANINGS") and isinstance(value, ast.Dict):
            for key, text in zip(value.keys, value.values):
                if isinstance(key, ast.Attribute) and isinstance(text, ast.Constant):
                    prefix = "ZAV_REG_" if name == "MEANINGS" else ""
                    meanings[prefix + key.attr] = (str(text.value), text.lineno)
    for statement in tree.body:
        if isinstance(statement, ast.ClassDef) and statement.name in ("Register", "Flag"):
            prefix = "ZAV_REG_" if statement.name == "Register" else ""
            for name, value, line in assignments(statement.body):
                literal = constant(value)
                if isinstance(literal, int):
                    facts.append(Fact(prefix + name, literal, line))
    return Table(path, facts, meanings)


def strings_in(text: str) -> str:
    """The concatenation of the string literals in text ('a' + "b" -> ab)."""
    return "".join(match.group(2) for match in re.finditer(r"(['\"])((?:\\.|(?!\1).)*)\1", text)).replace("\\'", "'")


def csharp_table(root: Path, path: str) -> Table:
    lines = (root / path).read_text().splitlines()
    facts: List[Fact] = []
    meanings: Dict[str, Tuple[str, int]] = {}
    summary: List[str] = []
    in_register_enum = False
    for number_, line in enumerate(lines, 1):
        stripped = line.strip()
        if stripped.startswith("///"):
            summary.append(stripped[3:])
            continue
        doc = normalize(re.sub(r"</?summary>", "", " ".join(summary)))
        summary = []
        if re.match(r"public enum Register\b", stripped):
            in_register_enum = True
        elif in_register_enum and stripped.startswith("}"):
            in_register_enum = False
        constant = re.match(r"public const \w+ (\w+) = ([^;]+);", stripped)
        if constant:
            name, literal = constant.groups()
            text = re.fullmatch(r'"(.*)"', literal)
            facts.append(Fact(snake(name), text.group(1) if text else number(literal), number_))
            if name.startswith("Err"):
                meanings[snake(name)] = (doc, number_)
        member = re.match(r"(\w+) = (\w+),?$", stripped)
        if in_register_enum and member:
            name = "ZAV_REG_" + snake(member.group(1))
            facts.append(Fact(name, number(member.group(2)), number_))
            meanings[name] = (doc, number_)
    return Table(path, facts, meanings)


def vba_table(root: Path, path: str) -> Table:
    lines = (root / path).read_text().splitlines()
    facts: List[Fact] = []
    meanings: Dict[str, Tuple[str, int]] = {}
    comment: List[str] = []
    for number_, line in enumerate(lines, 1):
        stripped = line.strip()
        if stripped.startswith("'"):
            comment.append(stripped[1:])
            continue
        constant = re.match(r"Public Const (\w+) As (\w+) = ([^']+?)\s*(?:'(.*))?$", stripped)
        if constant:
            name, kind, literal, trailing = constant.groups()
            value = number(literal)
            if kind == "Integer" and isinstance(value, int) and value < 0 and literal.startswith("&H"):
                value &= 0xFFFF  # &H8000 is -32768 in a VBA Integer: the same 16 bits
            facts.append(Fact(name, value, number_))
            if name.startswith("ERR_") and trailing:
                meanings[name] = (normalize(trailing), number_)
            if name.startswith("ZAV_REG_") and comment:
                meanings[name] = (normalize(" ".join(comment)), number_)
        comment = []
    return Table(path, facts, meanings)


def markdown_rows(root: Path, path: str) -> Iterable[Tuple[int, List[str]]]:
    for number_, line in enumerate((root / path).read_text().splitlines(), 1):
        if line.startswith("|") and line.endswith("|"):
            yield number_, [cell.strip() for cell in line.strip("|").split("|")]


def labview_table(root: Path, path: str) -> Table:
    facts: List[Fact] = []
    meanings: Dict[str, Tuple[str, int]] = {}
    for number_, cells in markdown_rows(root, path):
        name = re.fullmatch(r"`(\w+)`", cells[0])
        if len(cells) == 3 and name and re.fullmatch(r"-?(0x[0-9a-fA-F]+|[0-9.]+)", cells[1]):
            facts.append(Fact(name.group(1), number(cells[1]), number_))
            if name.group(1).startswith(("ERR_", "ZAV_REG_")):
                meanings[name.group(1)] = (normalize(cells[2]), number_)
    return Table(path, facts, meanings)


def readme_table(root: Path, path: str) -> Table:
    """README's "Units and meanings": | address | `register` | meaning |."""
    text = (root / path).read_text()
    facts: List[Fact] = []
    meanings: Dict[str, Tuple[str, int]] = {}
    start = text.find("### Units and meanings")
    if start < 0:
        return Table(path, facts, meanings)
    first_line = text[:start].count("\n") + 1
    section = text[start:].split("\n#", 1)[0]
    for offset, line in enumerate(section.splitlines()):
        row = re.fullmatch(r"\| (\d+) \| `(\w+)` \| (.*) \|", line)
        if row:
            name = "ZAV_REG_" + row.group(2).upper()
            facts.append(Fact(name, int(row.group(1)), first_line + offset))
            meanings[name] = (normalize(row.group(3)), first_line + offset)
    return Table(path, facts, meanings)


def javascript_table(root: Path, path: str) -> Table:
    lines = (root / path).read_text().splitlines()
    facts: List[Fact] = []
    meanings: Dict[str, Tuple[str, int]] = {}
    block = ""
    entry: Optional[Tuple[str, int, List[str]]] = None
    for number_, line in enumerate(lines, 1):
        opening = re.match(r"const (\w+) = Object\.freeze\(\{", line)
        if opening:
            block = opening.group(1)
            continue
        if line.startswith("});"):
            block = ""
            continue
        if block == "FACTS":
            constant = re.match(r"\s+(\w+): (-?[0-9a-fA-Fx.]+),", line)
            if constant:
                facts.append(Fact(constant.group(1), number(constant.group(2)), number_))
        elif block == "REGISTERS":
            start = re.match(r"  (\w+): \{(.*)$", line)
            if start:
                entry = (start.group(1), number_, [start.group(2)])
            elif entry:
                entry[2].append(line)
            if entry and re.search(r"\},?$", line):
                name, first, parts = entry
                body = " ".join(parts)
                address = re.search(r"address: (\d+)", body)
                meaning = body.split("meaning:", 1)[1] if "meaning:" in body else ""
                register = "ZAV_REG_" + name.upper()
                if address:
                    facts.append(Fact(register, int(address.group(1)), first))
                meanings[register] = (normalize(strings_in(meaning)), first)
                entry = None
    return Table(path, facts, meanings)


def lua_table(root: Path, path: str) -> Table:
    facts: List[Fact] = []
    inside = False
    for number_, line in enumerate((root / path).read_text().splitlines(), 1):
        if line.startswith("local FACTS = {"):
            inside = True
        elif inside and line.startswith("}"):
            inside = False
        elif inside:
            constant = re.match(r"\s+(\w+) = (-?[0-9a-fA-Fx.]+),", line)
            if constant:
                facts.append(Fact(constant.group(1), number(constant.group(2)), number_))
    return Table(path, facts, {})


def cpp_tools_table(root: Path, path: str, header: Header, problems: Problems) -> Table:
    """facts.h takes its numbers from the header by name; what can drift is which name
    stands where: the rows of the registers and flags, and the ends of the ranges."""
    facts: List[Fact] = []
    meanings: Dict[str, Tuple[str, int]] = {}
    ranges = {"kIdRange": ("0", "ZAV_ID_MAX"), "kGoalRange": ("ZAV_GOAL_MIN", "ZAV_GOAL_MAX"),
              "kParamRange": ("ZAV_PARAM_MIN", "ZAV_PARAM_MAX"), "kSc3Range": ("ZAV_SC3_MIN", "ZAV_SC3_MAX"),
              "kSc4Range": ("ZAV_SC4_MIN", "ZAV_SC4_MAX")}
    seen_ranges: Set[str] = set()
    for number_, line in enumerate((root / path).read_text().splitlines(), 1):
        register = re.match(r'\s*\{(\w+), "(\w+)", "(\w+)", (\d+), (true|false), ', line)
        if register:
            macro, name, _, width, signed = register.groups()
            expected = "ZAV_REG_" + name.upper()
            if macro != expected:
                problems.add(path, number_, f"register {name} is given the address {macro}; the header's is {expected}")
            if expected in header.values:
                facts.append(Fact(expected, header.values.get(macro, -1), number_))
                if int(width) != header.width(expected):
                    problems.add(path, number_, f"register {name} is {width} bytes wide; the header's "
                                                f"{expected} is {header.width(expected)}")
                if (signed == "true") != header.signed(expected):
                    problems.add(path, number_, f"register {name} is {'' if signed == 'true' else 'not '}signed; "
                                                f"the header's {expected} is {'' if header.signed(expected) else 'not '}signed")
        flag = re.match(r'\s*\{(ERR_\w+), "(\w+)", "(.*)"\},', line)
        if flag:
            macro, name, meaning = flag.groups()
            if macro != name:
                problems.add(path, number_, f"flag {name} is given the bit of {macro}")
            facts.append(Fact(name, header.values.get(macro, -1), number_))
            meanings[name] = (normalize(meaning), number_)
        bounds = re.match(r"inline constexpr Range (k\w+Range) = \{([^,]+), ([^,]+),", line)
        if bounds and bounds.group(1) in ranges:
            seen_ranges.add(bounds.group(1))
            written = (bounds.group(2).strip(), bounds.group(3).strip())
            if written != ranges[bounds.group(1)]:
                problems.add(path, number_, f"{bounds.group(1)} is {written[0]} to {written[1]}; it must be "
                                            f"{ranges[bounds.group(1)][0]} to {ranges[bounds.group(1)][1]} (include/zavlib.h)")
    for missing in sorted(set(ranges) - seen_ranges):
        problems.add(path, 0, f"{missing} is missing")
    return Table(path, facts, meanings)


# ---------------------------------------------------------------------------
# Comparing a table with the header


ALL = "all"
# What each table must hold: every fact, or the names its code uses (header names).
FLAGS = ["ERR_WRITE", "ERR_TIMEOUT", "ERR_PORT", "ERR_REPLY", "ERR_ADDRESS", "ERR_ID", "ERR_HANDLE"]
REGISTERS = ["ZAV_REG_ID", "ZAV_REG_TORQUE_ENABLE", "ZAV_REG_GOAL_POSITION", "ZAV_REG_SC2_VALUE",
             "ZAV_REG_SC1_VALUE", "ZAV_REG_PRESENT_POSITION", "ZAV_REG_SC3_VALUE", "ZAV_REG_SC4_VALUE"]
TABLES: List[Tuple[str, str, Callable[[Path, str], Table], object, bool]] = [
    # (label, path, reader, required names, whether it explains the required flags and registers)
    ("Python", "bindings/python/src/zavlib/_facts.py", python_table, ALL, True),
    ("C#", "bindings/csharp/Facts.cs", csharp_table, ALL, True),
    ("VBA", "bindings/vba/zavlib.bas", vba_table, ALL, True),
    ("LabVIEW", "bindings/labview/README.md", labview_table,
     FLAGS + REGISTERS + ["ZAV_ID_MAX", "BROADCAST_ID", "ZAV_GOAL_MIN", "ZAV_GOAL_MAX", "ZAV_GOAL_CENTER",
                          "ZAV_PARAM_MIN", "ZAV_PARAM_MAX", "ZAV_DEFAULT_BAUD", "ZAV_DEFAULT_TIMEOUT_OFFSET_MS",
                          "ZAV_REPLY_K_LONG", "ZAV_REPLY_K_SHORT", "ZAV_SYNC_MAX_LENGTH"], True),
    ("dashboard", "tools/dashboard/facts.js", javascript_table,
     REGISTERS + ["ZAV_ID_MAX", "BROADCAST_ID", "ZAV_GOAL_MIN", "ZAV_GOAL_MAX", "ZAV_GOAL_CENTER", "ZAV_PARAM_MIN",
                  "ZAV_PARAM_MAX", "ZAV_SC3_MIN", "ZAV_SC3_MAX", "ZAV_SC4_MIN", "ZAV_SC4_MAX"], True),
    ("dissector", "tools/wireshark/zavbus.lua", lua_table,
     ["CMD_POSITION", "CMD_READ_PARAM", "CMD_WRITE_PARAM", "ZAV_COMMAND_SHIFT", "ZAV_SUBCODE_SC1",
      "ZAV_SUBCODE_SC2", "ZAV_SUBCODE_SC3", "ZAV_SUBCODE_SC4", "ZAV_REPLY_LENGTH", "ZAV_ID0_ALT_REPLY_BAUD",
      "ZAV_ID0_ALT_REPLY", "ZAV_READ_REPLY_BASE", "ZAV_WRITE_REPLY_BASE", "ZAV_SC3_SIGN_BIT",
      "ZAV_SC3_MAGNITUDE_MASK", "ZAV_SC4_ORIGIN", "ZAV_SC4_SCALE_NUM", "ZAV_SC4_SCALE_DEN", "ZAV_SC4_OFFSET"], False),
    ("README", "README.md", readme_table, REGISTERS, True),
]


def compare(table: Table, header: Header, required: object, explanations: object, problems: Problems) -> int:
    found: Dict[str, Fact] = {}
    for fact in table.facts:
        if fact.name == "VERSION":
            if fact.value != header.version:
                problems.add(table.path, fact.line, f"VERSION is {fact.value!r}; {HEADER} says {header.version!r} "
                                                    "(ZAVLIB_VERSION_MAJOR/MINOR/PATCH)")
            for part in ("MAJOR", "MINOR", "PATCH"):
                found[f"ZAVLIB_VERSION_{part}"] = fact
            continue
        name = header_name(fact.name, header)
        if name is None:
            problems.add(table.path, fact.line, f"{fact.name} is not a fact of {HEADER}")
            continue
        found[name] = fact
        if fact.value != header.values[name]:
            problems.add(table.path, fact.line, f"{fact.name} is {fact.value}; {HEADER} says {name} {header.values[name]}")
    wanted = set(header.values) if required == ALL else set(required)  # type: ignore[arg-type]
    for name in sorted(wanted - set(found)):
        problems.add(table.path, 0, f"{name} of {HEADER} is missing from this table")
    if explanations:
        explained = wanted if explanations is True else set(explanations)  # type: ignore[call-overload]
        for name in sorted(n for n in explained if n in header.meanings):
            if name not in table.meanings:
                problems.add(table.path, found[name].line if name in found else 0,
                             f"{name}: what it means is missing; {HEADER} says \"{header.meanings[name]}\"")
            elif table.meanings[name][0] != header.meanings[name]:
                text, line = table.meanings[name]
                problems.add(table.path, line, f"{name} means \"{text}\" here; {HEADER} says \"{header.meanings[name]}\"")
    return len(table.facts)


# ---------------------------------------------------------------------------
# Facts written out by hand outside the tables


# The numbers only the facts give, and where else they may stand (path, text on the line).
STRAY = re.compile(r"(?<![\w.])(3000|12000|7500|60000|50000|41\.55)(?!\w)")
NOT_FACTS = [
    ("tools/dashboard/app.js", "setTimeout(connect, 3000)"),  # ms before a refused stream is tried again
    ("src/servo_bus.h", "double speed = 3000.0;"),  # the simulated servos' speed, units per second
]
SOURCE_SUFFIXES = {".c", ".cpp", ".h", ".py", ".cs", ".js", ".mjs", ".lua", ".bas"}
SKIPPED_DIRECTORIES = {".git", "node_modules", "tests", "corpus", "build", "dist", "__pycache__"}


def without_comments(path: Path, text: str) -> str:
    """The code of a file with its comments (and Python's docstrings) blanked, lines kept."""
    if path.suffix == ".py":
        try:
            tree = ast.parse(text)
        except SyntaxError:
            return text
        lines = text.splitlines(keepends=True)
        for node in ast.walk(tree):
            body = getattr(node, "body", None)
            if isinstance(body, list) and body and isinstance(body[0], ast.Expr) and \
                    isinstance(body[0].value, ast.Constant) and isinstance(body[0].value.value, str):
                for index in range(body[0].lineno - 1, body[0].end_lineno or body[0].lineno):
                    lines[index] = "\n"
        code = "".join(lines)
        out = []
        for token in tokenize.generate_tokens(io.StringIO(code).readline):
            if token.type == tokenize.COMMENT:
                out.append((token.start, token.end))
        kept = code.splitlines(keepends=True)
        for (row, column), _ in out:
            kept[row - 1] = kept[row - 1][:column] + "\n"
        return "".join(kept)
    line_comment = {".lua": "--", ".bas": "'"}.get(path.suffix, "//")
    result = []
    index = 0
    quote = ""
    block = path.suffix not in (".lua", ".bas")
    while index < len(text):
        char = text[index]
        if quote:
            result.append(char)
            if char == "\\" and path.suffix != ".bas":
                result.append(text[index + 1:index + 2])
                index += 2
                continue
            if char == quote or char == "\n":
                quote = ""
        elif text.startswith(line_comment, index):
            end = text.find("\n", index)
            index = len(text) if end < 0 else end
            continue
        elif block and text.startswith("/*", index):
            end = text.find("*/", index + 2)
            end = len(text) if end < 0 else end + 2
            result.append("\n" * text.count("\n", index, end))
            index = end
            continue
        elif char in "\"'`" and not (path.suffix == ".bas" and char == "'"):
            quote = char
            result.append(char)
        else:
            result.append(char)
        index += 1
    return "".join(result)


def stray_facts(root: Path, header: Header, tables: Set[str], problems: Problems) -> int:
    by_value: Dict[Number, List[str]] = {}
    for name, value in header.values.items():
        by_value.setdefault(value, []).append(name)
    scanned = 0
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root)
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file() or str(relative) in tables or \
                str(relative) == HEADER or any(part in SKIPPED_DIRECTORIES or part.startswith("build")
                                               for part in relative.parts[:-1]):
            continue
        scanned += 1
        text = path.read_text(errors="replace")
        code = without_comments(path, text).splitlines()
        originals = text.splitlines()
        for index, line in enumerate(code):
            for match in STRAY.finditer(line):
                original = originals[index] if index < len(originals) else line
                if any(str(relative) == where and what in original for where, what in NOT_FACTS):
                    continue
                value = number(match.group(1))
                names = " or ".join(by_value.get(value, ["a fact of the header"]))
                problems.add(str(relative), index + 1, f"{match.group(1)} is written out by hand: use {names} "
                                                       f"({HEADER}) or the name of this language's table")
    return scanned


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent)
    root = parser.parse_args().root.resolve()
    problems = Problems()
    header = read_header(root)
    if not header.values or len(header.meanings) < len(FLAGS) + len(REGISTERS):
        problems.add(HEADER, 0, f"found {len(header.values)} facts and {len(header.meanings)} explanations: "
                                "teach this script the header's layout")
    tables: List[Tuple[str, Table, object, object]] = []
    for label, path, reader, required, explanations in TABLES:
        tables.append((label, reader(root, path), required, explanations))
    cpp_path = "tools/zavctl/facts.h"
    # C and C++ read what a register holds in the header itself; the tools' table explains the flags.
    tables.append(("C++ tools", cpp_tools_table(root, cpp_path, header, problems), FLAGS + REGISTERS, FLAGS))
    for label, table, required, explanations in tables:
        before = len(problems.lines)
        count = compare(table, header, required, explanations, problems)
        state = "ok" if len(problems.lines) == before else "DRIFT"
        print(f"{state}: {label} ({table.path}): {count} facts, {len(table.meanings)} explanations")
    before = len(problems.lines)
    skipped = {table.path for _, table, _, _ in tables} | {str(Path(__file__).resolve().relative_to(root))
                                                          if Path(__file__).resolve().is_relative_to(root)
                                                          else "scripts/check_facts.py"}
    scanned = stray_facts(root, header, skipped, problems)
    print(f"{'ok' if len(problems.lines) == before else 'DRIFT'}: {scanned} other source files write no fact out by hand")
    for line in problems.lines:
        print(f"  {line}")
    print(f"facts in {HEADER}: {len(header.values)}; tables: {len(tables)}; differences: {len(problems.lines)}")
    return 1 if problems.lines else 0


if __name__ == "__main__":
    sys.exit(main())
