#!/usr/bin/env bash
# Installs everything the tests need and runs the whole suite: the C++ unit
# tests of the core (CTest) and the Python tests of the installed package,
# here and on CPython 3.14 (tools/run-tests-py314.sh, needs root and network).
set -euo pipefail
cd "$(dirname "$0")/.."

# Each leg says how long it took: the whole command has to fit CI's budget.
leg() {
  local name=$1 started=$SECONDS
  shift
  echo "== $name"
  "$@"
  echo "== $name: done in $((SECONDS - started)) s"
}

leg "system packages" bash tools/install-system-packages.sh

install_package() {
  python -m pip install -q --upgrade pip >/dev/null
  python -m pip install -q ".[test,draw,cluster,qiskit,fuzz]"
  # The clang leg below builds the extension modules with CMake itself,
  # outside pip's isolated build, so it needs the build requirements here.
  python -m pip install -q $(python tools/pyproject.py build)
}
leg "install" install_package

leg "style (ruff, clang-format)" bash tools/check-style.sh

# The core's unit tests, once optimised, once under AddressSanitizer and
# UndefinedBehaviorSanitizer, and once built with clang (core, tests and the
# extension modules; warnings are errors there), so that a missing include
# or a GCC-only construct fails here and not on a user's compiler.
core_tests() {
  local variant=$1
  local flags=(-DCORVANE_BUILD_TESTS=ON)
  case $variant in
    release) flags+=(-DCORVANE_BUILD_PYTHON=OFF) ;;
    sanitize) flags+=(-DCORVANE_BUILD_PYTHON=OFF -DCORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    clang) flags+=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
                   -DCORVANE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v python)") ;;
  esac
  cmake -S . -B "build/cpp-tests-$variant" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "build/cpp-tests-$variant"
  ctest --test-dir "build/cpp-tests-$variant" --output-on-failure
}
for variant in release sanitize clang; do
  leg "C++ core tests ($variant)" core_tests "$variant"
done

# Run from outside the source tree so the installed package is the one tested.
python_tests() {
  (cd tests && MPLBACKEND=Agg python -m pytest -q -p no:cacheprovider "$@")
}
leg "Python tests" python_tests "$@"

leg "CPython 3.14 (Debian sid chroot)" bash tools/run-tests-py314.sh "$@"
