#!/usr/bin/env bash
# Installs the Debian packages the project needs beyond a compiler and Python:
# GoogleTest for the core's unit tests, graphviz and its headers for drawing,
# clang for the second compiler's build, clang-format for the style check, debootstrap and Debian's archive keys
# for the CPython 3.14 chroot.
set -euo pipefail
packages=(libgtest-dev graphviz libgraphviz-dev clang clang-format debootstrap debian-archive-keyring)
missing=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
