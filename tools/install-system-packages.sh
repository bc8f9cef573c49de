#!/usr/bin/env bash
# Installs the Debian packages the project needs beyond a compiler and Python:
# GoogleTest for the core's unit tests, graphviz and its headers for drawing.
set -euo pipefail
packages=(libgtest-dev graphviz libgraphviz-dev)
missing=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
