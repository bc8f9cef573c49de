#!/usr/bin/env bash
# The CPython 3.14 leg of the test command. This machine has no 3.14, but
# Debian unstable packages it, with a newer GCC than ours: a minimal sid chroot
# gives both. Inside it we build and install the package in a venv, run the
# core's C++ tests with that GCC and the Python suite on 3.14. Warnings are
# errors here: a C API that 3.14 deprecates, or a header that the newer
# libstdc++ no longer pulls in by accident, must fail the run, not scroll by.
#
# The chroot is made once and reused. Its place is build/py314-root unless
# CORVANE_PY314_ROOT says otherwise; CORVANE_PY314_MIRROR overrides the Debian
# mirror (by default the one this host's apt uses). Needs root (debootstrap,
# chroot, mount) and network access to the mirror and to PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
# Resolved, because the mounts below it are found by path in /proc/self/mounts.
root=$(realpath -m "${CORVANE_PY314_ROOT:-$src/build/py314-root}")
ready=$root/.corvane-ready   # written last, so a half-made chroot is never reused

say() { printf '[py314 %4d s] %s\n' "$SECONDS" "$*"; }
fail() { printf '[py314] FAILED: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || fail "needs root to make and enter the chroot (debootstrap, mount, chroot)"

# The Debian mirror this host's apt uses (deb822 sources first, then the
# one-line format), so the chroot downloads from where the host is allowed to.
host_mirror() {
  local uri
  uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }' \
          /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\/.*\/debian\/?$/) { print $i; exit } }' \
          /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1)
  echo "${uri:-http://deb.debian.org/debian}"
}

# Everything mounted below the chroot, deepest first. Also covers mounts that
# an interrupted debootstrap left behind.
unmount_all() {
  awk -v r="$root" 'index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r |
    while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
}

# Runs a command in the chroot with a clean environment (the host's venv,
# PYTHONPATH or compiler flags must not leak in). Proxies pass through, and
# TLS trusts what the host trusts (copied in below): a host that reaches PyPI
# through an intercepting proxy has that proxy's certificate only in its own
# bundle.
host_ca=/etc/ssl/certs/ca-certificates.crt
root_ca=/etc/corvane-host-ca.crt
in_root() {
  local env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
             LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1
             PIP_ROOT_USER_ACTION=ignore MPLBACKEND=Agg)
  [ -e "$root$root_ca" ] && env+=(SSL_CERT_FILE=$root_ca PIP_CERT=$root_ca REQUESTS_CA_BUNDLE=$root_ca)
  local v
  for v in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
    [ -n "${!v:-}" ] && env+=("$v=${!v}")
  done
  chroot "$root" /usr/bin/env -i "${env[@]}" "$@"
}

mkdir -p "$(dirname "$root")"
# Two runs sharing one chroot would mount and install over each other.
exec 9>"$root.lock"
flock 9
trap unmount_all EXIT
unmount_all

if [ ! -e "$ready" ]; then
  command -v debootstrap >/dev/null || fail "debootstrap is not installed (tools/install-system-packages.sh installs it)"
  mirror=${CORVANE_PY314_MIRROR:-$(host_mirror)}
  say "making a Debian sid chroot in $root from $mirror (once; later runs reuse it)"
  # Only a tree this script began (its debootstrap log lies beside it) is
  # cleared; --one-file-system never follows a mount that survived into it.
  if [ -e "$root" ]; then
    [ -e "$root.debootstrap.log" ] || fail "$root exists but was not made by this script; remove it or set CORVANE_PY314_ROOT"
    rm -rf --one-file-system "$root"
  fi
  debootstrap --variant=minbase sid "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    fail "could not make the sid chroot with debootstrap from $mirror (log: $root.debootstrap.log); the 3.14 leg did NOT run"
  # Signatures are still checked; only the expiry date is not. Mirrors that
  # serve a dated snapshot of sid carry a Release file whose Valid-Until has
  # passed, and apt would then refuse to install anything.
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99corvane-snapshot-mirror"
fi

# apt, the compilers and the tests need /proc and /dev (test_leaks reads
# /proc/self; multiprocessing needs /dev/shm); DNS follows the host's, which
# may have changed since the chroot was made.
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
[ -e "$host_ca" ] && cp -L "$host_ca" "$root$root_ca"

if [ ! -e "$ready" ]; then
  in_root apt-get update -qq || fail "apt-get update failed in the chroot; the 3.14 leg did NOT run"
  in_root apt-get install -y -qq --no-install-recommends \
      ca-certificates python3.14 python3.14-dev python3.14-venv build-essential \
      cmake ninja-build graphviz libgraphviz-dev libgtest-dev pkgconf >/dev/null ||
    fail "could not install Python 3.14 and the build tools in the chroot; the 3.14 leg did NOT run"
  touch "$ready"
  say "chroot ready"
fi
say "$(in_root python3.14 --version), $(in_root g++ --version | head -n 1)"

# A copy of the working tree (uncommitted edits included, build output not):
# the tests run on what is here, and nothing in the chroot writes back to it.
# tar keeps modification times, so the build trees below stay incremental.
rm -rf "$root/work/src"
mkdir -p "$root/work/src"
tar -C "$src" --exclude=./build --exclude=./.venv --exclude=./.git --exclude='__pycache__' -cf - . |
  tar -C "$root/work/src" -xf -

# The core's unit tests with the chroot's GCC.
in_root cmake -S /work/src -B /work/build/cpp-tests -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCORVANE_BUILD_PYTHON=OFF -DCORVANE_BUILD_TESTS=ON >/dev/null || fail "CMake could not configure the core's tests in the chroot"
in_root cmake --build /work/build/cpp-tests || fail "the core or its tests do not build with the chroot's GCC"
in_root ctest --test-dir /work/build/cpp-tests --output-on-failure || fail "C++ core tests failed with the chroot's GCC"
say "C++ core tests passed; building and installing the package"

# The package in a venv on 3.14. The build requirements are installed up
# front so the build can skip isolation and reuse its build tree from run to
# run; they and the optional extras are read from pyproject.toml, their one home.
in_root test -x /work/venv/bin/python || in_root python3.14 -m venv /work/venv
py=(in_root /work/venv/bin/python)
pyproject() { "${py[@]}" /work/src/tools/pyproject.py "$1"; }  # see there
"${py[@]}" -m pip install -q --upgrade pip || fail "could not upgrade pip in the 3.14 venv"
mapfile -t build_requires < <(pyproject build)
"${py[@]}" -m pip install -q "${build_requires[@]}" || fail "the build requirements do not install on Python 3.14"
"${py[@]}" -m pip install -q --no-build-isolation -Cbuild-dir=/work/build/wheel \
    -Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON "/work/src[test]" ||
  fail "the package or its test extra does not build or install on Python 3.14"

# Optional extras: install each one's requirements that install on 3.14. The
# tests that need one that did not install skip (pytest.importorskip).
mapfile -t extras < <(pyproject extras)
for extra in "${extras[@]}"; do
  mapfile -t reqs < <(pyproject "$extra")
  if "${py[@]}" -m pip install -q "${reqs[@]}" >"$root/work/extra-$extra.log" 2>&1; then
    say "optional extra '$extra' installed"
  else
    say "optional extra '$extra' does NOT install on 3.14 (log: $root/work/extra-$extra.log); tests needing it skip here"
  fi
done

say "running the Python tests"
# From outside the source tree, so the installed package is the one tested.
in_root sh -c 'cd /work/src/tests && exec /work/venv/bin/python -m pytest -q -p no:cacheprovider "$@"' pytest "$@" ||
  fail "Python tests failed on 3.14"
say "passed"
