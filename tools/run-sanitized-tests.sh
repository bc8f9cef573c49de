#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a separate virtual environment and runs the Python suite against them.
# Slower than the plain suite (about 3x); run it before a release or after
# touching the binding layer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-system-packages.sh
venv=build/sanitize-venv
[ -x "$venv/bin/python" ] || python -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q \
  -Ccmake.define.CORVANE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/sanitize \
  ".[test,draw]"
# The interpreter itself is not instrumented: preload the runtimes, and leave
# leak checking to the leak tests (the interpreter keeps objects alive at exit).
runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
cd tests
LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 MPLBACKEND=Agg \
  "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
