#!/usr/bin/env bash
# The bindings against the library, on its simulated bus (sim:) and, where a
# test needs a bus set up from outside, zavsim: the declaration check of every
# binding (and that it catches drift), the Python package's type hints, the
# README's Python install line and example as written, the Python package's tests
# (with a capture taken from Python, read by tshark and replayed by zavctl), the
# wheel tags with and without a bundled library, and the C# tests under Mono.
# Usage: bindings/run-tests.sh LINUX_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=$(cd "$1" && pwd)
library=$build/libzavlib.so.1
python=/usr/bin/python3 # Debian's, with its setuptools, wheel and pytest
work=$(mktemp -d /tmp/zavbind.XXXXXX)
cleanup() {
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
step() { # description, command...
  local what=$1
  shift
  echo "== $what"
  local started=$SECONDS
  if "$@"; then echo "ok: $what ($((SECONDS - started)) s)"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# The README's Python install line and example as written, with HOME moved into $work.
readme_python() {
  "$python" - README.md "$work" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
section = text[text.index("### Python"):]
section = section[:section.index("\n### ", 1)]
install = re.search(r"```sh\n(.*?)```", section, re.S).group(1)
example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
open(sys.argv[2] + "/install.sh", "w").write(install)
open(sys.argv[2] + "/example.py", "w").write(example)
EOF
  HOME=$work bash -e "$work/install.sh" >"$work/install.log" 2>&1 || { cat "$work/install.log"; return 1; }
  local out
  out=$(cd "$work" && ZAVLIB_LIBRARY=$library "$work/zavlib-venv/bin/python" example.py 2>&1) || { echo "$out"; return 1; }
  echo "$out"
  # The scan, then where servo 1 stands once arrived: within 10 of its goal.
  "$python" -c 'import re, sys; sys.exit(not re.fullmatch(r"\[0, 1, 2, 3, 4, 5\]\n\{1: 40(0\d|10)\}", sys.argv[1]))' "$out"
}

python_tests() {
  (cd "$work" && ZAVLIB_LIBRARY=$library ZAVSIM=$build/zavsim ZAVCTL=$build/zavctl \
    "$work/zavlib-venv/bin/python" -m pytest -q -p no:cacheprovider "$repo/bindings/python/tests")
}

# A wheel with the library inside carries the platform's tag and loads its own copy; a
# pure wheel built after it in the same tree is tagged any and holds no library. Both
# carry the library's version.
wheel_tags() {
  local version
  version=$(sed -n 's/^Version: //p' "$build/zavlib.pc")
  cp -r bindings/python "$work/package"
  rm -rf "$work/package/build"
  local venv=$work/zavlib-venv/bin
  ZAVLIB_BUNDLE=$library "$venv/pip" wheel -q --no-build-isolation --no-index --no-deps -w "$work/bundled" "$work/package" &&
    "$venv/pip" wheel -q --no-build-isolation --no-index --no-deps -w "$work/pure" "$work/package" || return 1
  ls "$work/bundled" "$work/pure"
  ls "$work/bundled/zavlib-$version-py3-none-linux_"*.whl "$work/pure/zavlib-$version-py3-none-any.whl" >/dev/null ||
    return 1
  if "$python" -m zipfile -l "$work/pure"/*.whl >"$work/pure.txt" && grep "_lib/" "$work/pure.txt"; then
    echo "a pure wheel built after a bundling one holds its library"
    return 1
  fi
  "$venv/pip" install -q --no-index --target "$work/bundled-site" "$work/bundled"/*.whl &&
    (cd "$work" && env -u ZAVLIB_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH="$work/bundled-site" "$python" -c '
import zavlib, zavlib._native as native
zavlib.clock()
print("loaded", native._library._name)
assert native._library._name.endswith("/bundled-site/zavlib/_lib/libzavlib.so.1")')
}

csharp_tests() {
  local out=$work/csharp
  mkdir -p "$out/lib"
  mcs -warnaserror+ -target:library -out:"$out/Zavlib.dll" bindings/csharp/Facts.cs bindings/csharp/Native.cs bindings/csharp/Port.cs &&
    mcs -warnaserror+ -r:"$out/Zavlib.dll" -out:"$out/PortTests.exe" bindings/csharp/tests/PortTests.cs || return 1
  cp bindings/csharp/Zavlib.dll.config "$out/"
  cp "$library" "$out/lib/" # only the SONAME file: the dllmap must name it
  # Without the per-thread cache glibc hands a freed port record out again at once,
  # as Windows' heap often does: a Port that uses a freed handle then shows.
  GLIBC_TUNABLES=glibc.malloc.tcache_count=0 LD_LIBRARY_PATH=$out/lib mono "$out/PortTests.exe"
}

# The declaration check on a copy of the tree with one wrong type per row: a
# status word or value of the wrong width, a byte array for the name. Each must fail.
declaration_drift_is_caught() {
  local file edit missed=0
  while IFS='|' read -r file edit; do
    rm -rf "$work/drift" && mkdir "$work/drift" && cp -r bindings include "$work/drift/"
    sed -i "$edit" "$work/drift/$file"
    if cmp -s "$file" "$work/drift/$file" || "$python" "$work/drift/bindings/check_declarations.py" >/dev/null; then
      echo "not caught: $file: $edit"
      missed=$((missed + 1))
    fi
  done <<'EDITS'
bindings/vba/zavlib.bas|0,/ByRef status As Integer/s//ByRef status As Long/
bindings/csharp/Native.cs|0,/ref ushort value/s//ref byte value/
bindings/csharp/Native.cs|0,/\] string name/s//] byte[] name/
bindings/labview/README.md|s/value `\*U16`/value `*U8`/
bindings/python/src/zavlib/_native.py|s/POINTER(ctypes.c_uint16)/POINTER(ctypes.c_uint32)/
EDITS
  [ "$missed" -eq 0 ]
}

step "declarations of every binding match include/zavlib.h" "$python" bindings/check_declarations.py
step "the declaration check catches a wrong type" declaration_drift_is_caught
step "type hints of the Python package (mypy --strict, as Python 3.9)" \
  "$python" -m mypy --strict --python-version 3.9 --cache-dir "$work/mypy" bindings/python/src/zavlib
step "the README's Python install line and example" readme_python
step "Python package tests (pytest, on sim: and zavsim)" python_tests
step "wheel tags, and a bundled library loads from the package" wheel_tags
step "C# binding tests (Mono, on sim:)" csharp_tests
echo "binding checks failed: $failures"
[ "$failures" -eq 0 ]
