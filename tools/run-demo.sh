#!/usr/bin/env bash
# Installs the package with its drawing extra and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-system-packages.sh
python -m pip install -q ".[draw]"
python examples/demo.py
