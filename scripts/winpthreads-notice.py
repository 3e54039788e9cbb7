#!/usr/bin/env python3
"""Prints the copyright notices and licences of MinGW-w64's winpthreads, which
the Windows DLLs and zavctl.exe link statically, from Debian's machine-readable
copyright file of the toolchain (the package that ships the library)."""
import sys

COPYRIGHT = "/usr/share/doc/mingw-w64-common/copyright"


def paragraphs(text):
    """The file's paragraphs as lists of (field, value) pairs; continuation lines join their field."""
    for block in text.split("\n\n"):
        fields = []
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and fields:
                name, value = fields[-1]
                fields[-1] = (name, value + "\n" + line)
            elif ":" in line:
                name, value = line.split(":", 1)
                fields.append((name, value.strip()))
        if fields:
            yield fields


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else COPYRIGHT
    wanted, licence_texts = [], {}
    for fields in paragraphs(open(path, encoding="utf-8").read()):
        record = dict(fields)
        files = record.get("Files", "")
        if "License" in record and "Files" not in record and "\n" in record["License"]:
            name, text = record["License"].split("\n", 1)
            licence_texts[name.strip()] = text
        elif "winpthreads/" in files and "tests_pthread" not in files:
            wanted.append(record)
    if not wanted:
        sys.exit(f"{path}: no winpthreads paragraph")
    print("The Windows DLLs and zavctl.exe include MinGW-w64's winpthreads library, under these terms.")
    for record in wanted:
        print()
        print("Files: " + " ".join(record["Files"].split()))
        print("Copyright: " + "\n           ".join(line.strip() for line in record.get("Copyright", "").splitlines()))
        name, _, text = record["License"].partition("\n")
        text = text or licence_texts.get(name.strip(), "")
        if not text and name.strip() != "public-domain":
            sys.exit(f"{path}: no text for licence {name.strip()}")
        print("License: " + name.strip())
        for line in text.splitlines():
            line = line[1:] if line.startswith(" ") else line  # the format's one leading space
            print("" if line.strip() == "." else "  " + line)


if __name__ == "__main__":
    main()
