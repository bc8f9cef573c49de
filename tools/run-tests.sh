#!/usr/bin/env bash
# Installs everything the tests need and runs the whole suite: the C++ unit
# tests of the core (CTest) and the Python tests of the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

# System packages: GoogleTest for the core's tests, graphviz for the drawings.
apt_packages=(libgtest-dev graphviz libgraphviz-dev)
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python -m pip install -q --upgrade pip >/dev/null
python -m pip install -q ".[test,draw]"

cmake -S . -B build/cpp-tests -G Ninja -DCORVANE_BUILD_PYTHON=OFF -DCORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp-tests
ctest --test-dir build/cpp-tests --output-on-failure

# Run from outside the source tree so the installed package is the one tested.
cd tests
MPLBACKEND=Agg python -m pytest -q -p no:cacheprovider "$@"
