# Sourced by the scripts that run Python against the sanitizer build
# (run-sanitized-tests.sh, fuzz.sh). Builds the extension modules with
# AddressSanitizer and UndefinedBehaviorSanitizer into their own virtual
# environment, installing the given extras, and defines `sanitized`, which
# runs a command of that environment with the runtimes preloaded.
# Usage: source tools/sanitize-env.sh EXTRAS [gcc|fuzz]   (from the repository root)
#   gcc (default): GCC's sanitizers, in build/sanitize-venv.
#   fuzz: clang's sanitizers plus the fuzzer's coverage instrumentation, in
#         build/fuzz-venv, so libFuzzer is guided by the native code's edges.
bash tools/install-system-packages.sh
sanitize_flavour=${2:-gcc}
case "$sanitize_flavour" in
  gcc)
    sanitize_venv="$PWD/build/sanitize-venv" sanitize_build=build/sanitize
    sanitize_defines=()
    sanitize_compilers=(CC=gcc CXX=g++)
    sanitize_runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" ;;
  fuzz)
    sanitize_venv="$PWD/build/fuzz-venv" sanitize_build=build/fuzz-build
    sanitize_defines=(-Ccmake.define.CORVANE_FUZZ_COVERAGE=ON)
    sanitize_compilers=(CC=clang CXX=clang++)
    # clang's ASan runtime carries its UBSan handlers too.
    sanitize_runtime="$(clang --print-runtime-dir)/libclang_rt.asan-x86_64.so" ;;
  *) echo "sanitize-env.sh: unknown flavour $sanitize_flavour (gcc or fuzz)" >&2; return 2 ;;
esac
[ -x "$sanitize_venv/bin/python" ] || python -m venv "$sanitize_venv"
"$sanitize_venv/bin/python" -m pip install -q --upgrade pip >/dev/null
# The build requirements live in the environment (no build isolation), so the
# build directory's configuration stays valid and rebuilds are incremental.
"$sanitize_venv/bin/python" -m pip install -q $("$sanitize_venv/bin/python" tools/pyproject.py build)
env "${sanitize_compilers[@]}" "$sanitize_venv/bin/python" -m pip install -q --no-build-isolation \
  -Ccmake.define.CORVANE_SANITIZE=ON "${sanitize_defines[@]}" -Ccmake.build-type=RelWithDebInfo \
  -Cbuild-dir="$sanitize_build" ".[$1]"

# The interpreter itself is not instrumented: preload the runtimes, and leave
# leak checking to the leak tests (the interpreter keeps objects alive at exit).
sanitize_asan_options=detect_leaks=0:abort_on_error=1
sanitized() {
  LD_PRELOAD="$sanitize_runtime" ASAN_OPTIONS="$sanitize_asan_options" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 MPLBACKEND=Agg \
    "$@"
}
