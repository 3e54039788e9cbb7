#!/usr/bin/env python3
"""What a compiled Zavlib.dll offers, read from Mono's disassembler (ikdasm).

    ikdasm Zavlib.dll | assembly_surface.py            the public types and members, one a line
    ikdasm Zavlib.dll | assembly_surface.py --imports  the native functions it imports: LIBRARY CONVENTION NAME

The first is compared with public-surface.txt beside this file, so that a change of the
binding's public interface is a change of that file too; after a deliberate change:
    ikdasm Zavlib.dll | bindings/csharp/tests/assembly_surface.py > bindings/csharp/tests/public-surface.txt
"""

import re
import sys
from typing import List


def members(il: str, imports: bool) -> List[str]:
    out: List[str] = []
    classes: List[tuple] = []  # (name, public) of the classes being read, outermost first
    depth_of_class: List[int] = []
    depth = 0
    pending = ""  # a declaration spread over several lines
    for raw in il.splitlines():
        line = raw.split("//")[0].strip() if not raw.strip().startswith(".custom") else ""
        if pending:
            pending += " " + line
            if re.search(r"\b(cil|runtime) managed\b", line) or line.endswith("{"):
                out.extend(declaration(pending, classes, imports))
                pending = ""
            continue
        if line.startswith(".class "):
            words = line.split()
            name = words[-1]
            public = "public" in words and (not classes or all(c[1] for c in classes))
            classes.append((name, public))
            depth_of_class.append(depth)
        elif line.startswith(".method ") and not re.search(r"\b(cil|runtime) managed\b", line):
            pending = line
        elif line.startswith((".method ", ".field ")):
            out.extend(declaration(line, classes, imports))
        depth += line.count("{") - line.count("}")
        while depth_of_class and depth <= depth_of_class[-1] and "}" in line:
            classes.pop()
            depth_of_class.pop()
    return out


def declaration(text: str, classes: List[tuple], imports: bool) -> List[str]:
    text = " ".join(text.split())
    owner = ".".join(c[0] for c in classes)
    if imports:
        found = re.search(r'pinvokeimpl\("([^"]+)" nomangle (\w+)\).*?\s(\w+)\(', text)
        return [f"{found.group(1)} {found.group(2)} {found.group(3)}"] if found else []
    if not classes or not classes[-1][1] or not re.match(r"\.(method|field) public\b", text):
        return []
    text = re.sub(r"\s*(cil|runtime) managed.*$", "", text)
    text = re.sub(r"\b(hidebysig|specialname|rtspecialname|preservesig)\s", "", text)
    return [f"{owner}: {text}"]


def main() -> int:
    imports = "--imports" in sys.argv[1:]
    lines = members(sys.stdin.read(), imports)
    for line in sorted(lines):
        print(line)
    return 0 if lines else 1


if __name__ == "__main__":
    sys.exit(main())
