#!/usr/bin/env bash
# Runs one fuzz target of fuzz/ against the sanitizer build for SECONDS seconds:
#   bash tools/fuzz.sh TARGET SECONDS [libFuzzer flags...]
# The committed corpus fuzz/corpus/TARGET seeds the run; new inputs collect in
# build/fuzz/TARGET, and at the end the committed corpus is replaced by the
# smallest set of inputs that keeps the coverage of both (libFuzzer -merge).
# A failing input is written to build/fuzz/TARGET-artifacts/ and the script
# exits non-zero; rerun it with `python fuzz/TARGET.py FILE` to reproduce.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ] || [ ! -f "fuzz/$1.py" ] || [ "$1" = inputs ]; then
  echo "usage: tools/fuzz.sh TARGET SECONDS [libFuzzer flags]; targets:" \
    $(ls fuzz/*.py | xargs -n1 basename | sed 's/\.py$//' | grep -v '^inputs$') >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
source tools/sanitize-env.sh test,fuzz
# A count from the fuzzer may ask for more memory than there is: the
# allocation must fail into MemoryError, not abort the run.
sanitize_asan_options+=:allocator_may_return_null=1
# The ASan runtime carries weak stubs of the coverage callbacks that atheris's
# libFuzzer defines; preloaded first, they would take the coverage of the
# Python code away from libFuzzer. Preloading atheris's libFuzzer module ahead
# of the runtime keeps the callbacks libFuzzer's (ASan then no longer comes
# first, which it only checks).
libfuzzer=$("$sanitize_venv/bin/python" -c \
  "import atheris, glob, os; print(glob.glob(os.path.dirname(atheris.__file__) + '/core_with_libfuzzer*.so')[0])")
sanitize_runtime="$libfuzzer:$sanitize_runtime"
sanitize_asan_options+=:verify_asan_link_order=0

corpus="fuzz/corpus/$target" scratch="build/fuzz/$target" artifacts="build/fuzz/$target-artifacts"
mkdir -p "$corpus" "$scratch" "$artifacts"
fuzz() { sanitized "$sanitize_venv/bin/python" "fuzz/$target.py" "$@"; }
# -malloc_limit_mb: one allocation above this is reported as a failure;
# the targets keep their inputs small, so only a runaway size reaches it.
fuzz "$scratch" "$corpus" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=3072 \
  -malloc_limit_mb=1024 -len_control=0 -max_len=2048 -artifact_prefix="$artifacts/" -print_final_stats=1 "$@"

minimised="build/fuzz/$target-minimised"
rm -rf "$minimised" && mkdir -p "$minimised"
fuzz -merge=1 "$minimised" "$corpus" "$scratch" >/dev/null 2>&1
rm -f "$corpus"/* && cp "$minimised"/* "$corpus"/
echo "fuzz.sh: $target corpus now $(ls "$corpus" | wc -l) inputs"
