#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a separate virtual environment and runs the Python suite against them.
# Slower than the plain suite (about 3x); run it before a release or after
# touching the binding layer.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sanitize-env.sh test,draw,fuzz
cd tests
sanitized "$sanitize_venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
