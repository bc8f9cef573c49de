#!/usr/bin/env bash
# Installs everything the tests need and runs the whole suite: the C++ unit
# tests of the core (CTest) and the Python tests of the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-system-packages.sh

python -m pip install -q --upgrade pip >/dev/null
python -m pip install -q ".[test,draw,cluster,qiskit]"

# The core's unit tests, once optimised and once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
for variant in release sanitize; do
  flags=(-DCORVANE_BUILD_PYTHON=OFF -DCORVANE_BUILD_TESTS=ON)
  [ "$variant" = sanitize ] && flags+=(-DCORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  cmake -S . -B "build/cpp-tests-$variant" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "build/cpp-tests-$variant"
  ctest --test-dir "build/cpp-tests-$variant" --output-on-failure
done

# Run from outside the source tree so the installed package is the one tested.
cd tests
MPLBACKEND=Agg python -m pytest -q -p no:cacheprovider "$@"
