#!/usr/bin/env bash
# Runs one fuzz target of fuzz/ for SECONDS seconds against a clang build of
# the extension modules with ASan, UBSan and the fuzzer's coverage
# instrumentation, so both the Python code and the native code guide it:
#   bash tools/fuzz.sh TARGET SECONDS [libFuzzer flags...]
#   bash tools/fuzz.sh TARGET INPUT_FILE     (runs one input, e.g. a failure, in that build)
# The committed corpus fuzz/corpus/TARGET seeds the run; new inputs collect in
# build/fuzz/TARGET, and at the end the committed corpus is replaced by the
# smallest set of inputs that keeps the coverage of both (libFuzzer
# -set_cover_merge).
# A failing input is written to build/fuzz/TARGET-artifacts/ and the script
# exits non-zero; the second form reproduces it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ] || [ ! -f "fuzz/$1.py" ] || [ "$1" = inputs ]; then
  echo "usage: tools/fuzz.sh TARGET SECONDS [libFuzzer flags] | tools/fuzz.sh TARGET INPUT_FILE; targets:" \
    $(ls fuzz/*.py | xargs -n1 basename | sed 's/\.py$//' | grep -v '^inputs$') >&2
  exit 2
fi
target=$1 run=$2  # seconds to fuzz for, or one input to run
shift 2
source tools/sanitize-env.sh test,fuzz fuzz
# A count from the fuzzer may ask for more memory than there is: the
# allocation must fail into MemoryError, not abort the run.
sanitize_asan_options+=:allocator_may_return_null=1
# fuzz/coverage_shim.c keeps the coverage going to libFuzzer rather than to
# the ASan runtime's stubs; it must come first, and ASan then no longer does,
# which it only checks.
mkdir -p build/fuzz
cc -shared -fPIC -O2 -o build/fuzz/coverage_shim.so fuzz/coverage_shim.c -ldl
sanitize_runtime="$PWD/build/fuzz/coverage_shim.so:$sanitize_runtime"
sanitize_asan_options+=:verify_asan_link_order=0

fuzz() { sanitized "$sanitize_venv/bin/python" "fuzz/$target.py" "$@"; }
if [ -f "$run" ]; then
  fuzz "$run" "$@"
  exit
fi

corpus="fuzz/corpus/$target" scratch="build/fuzz/$target" artifacts="build/fuzz/$target-artifacts"
mkdir -p "$corpus" "$scratch" "$artifacts"
# -malloc_limit_mb: one allocation above this is reported as a failure;
# the targets keep their inputs small, so only a runaway size reaches it.
fuzz "$scratch" "$corpus" -max_total_time="$run" -timeout=60 -rss_limit_mb=3072 \
  -malloc_limit_mb=1024 -len_control=0 -max_len=2048 -artifact_prefix="$artifacts/" -print_final_stats=1 "$@"

minimised="build/fuzz/$target-minimised"
rm -rf "$minimised" && mkdir -p "$minimised"
fuzz -set_cover_merge=1 -artifact_prefix="$artifacts/" "$minimised" "$corpus" "$scratch" > "build/fuzz/$target-merge.log" 2>&1
# Inputs named regression-* are past findings: they stay whatever they cover,
# and their copies under libFuzzer's name (the SHA-1 of the content) go.
for finding in "$corpus"/regression-*; do
  [ -e "$finding" ] && rm -f "$minimised/$(sha1sum < "$finding" | cut -c1-40)"
done
if [ -n "$(ls "$minimised")" ]; then
  find "$corpus" -type f ! -name 'regression-*' -delete && cp "$minimised"/* "$corpus"/
fi
echo "fuzz.sh: $target corpus now $(ls "$corpus" | wc -l) inputs"
