# Sourced by the scripts that run Python against the sanitizer build
# (run-sanitized-tests.sh, fuzz.sh). Builds the extension modules with
# AddressSanitizer and UndefinedBehaviorSanitizer into their own virtual
# environment, installing the given extras, and defines `sanitized`, which
# runs a command of that environment with the runtimes preloaded.
# Usage: source tools/sanitize-env.sh EXTRAS   (from the repository root)
bash tools/install-system-packages.sh
sanitize_venv="$PWD/build/sanitize-venv"
[ -x "$sanitize_venv/bin/python" ] || python -m venv "$sanitize_venv"
"$sanitize_venv/bin/python" -m pip install -q --upgrade pip >/dev/null
# The build requirements live in the environment (no build isolation), so the
# build directory's configuration stays valid and rebuilds are incremental.
"$sanitize_venv/bin/python" -m pip install -q $(python -c \
  "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))")
"$sanitize_venv/bin/python" -m pip install -q --no-build-isolation \
  -Ccmake.define.CORVANE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/sanitize \
  ".[$1]"

# The interpreter itself is not instrumented: preload the runtimes, and leave
# leak checking to the leak tests (the interpreter keeps objects alive at exit).
sanitize_runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
sanitize_asan_options=detect_leaks=0:abort_on_error=1
sanitized() {
  LD_PRELOAD="$sanitize_runtime" ASAN_OPTIONS="$sanitize_asan_options" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 MPLBACKEND=Agg \
    "$@"
}
