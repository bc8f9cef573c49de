#!/usr/bin/env bash
# Installs the package with its drawing extra and runs the command line on the
# shipped OpenQASM programs (examples/qasm/): compresses and decouples each one,
# prints the table, and writes the results and their pictures to demo-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-system-packages.sh
python -m pip install -q ".[draw]"

out=demo-out
python -m corvane.circuit transpile examples/qasm -o "$out" --compress --dd XY4 --t1g 20ns --t2g 50ns --check --report "$out/report.jsonl"
python -m corvane.circuit info "$out"
for program in examples/qasm/*.qasm; do
  name=$(basename "$program" .qasm)
  python -m corvane.circuit draw "$program" --dag "$out/${name}_dag.png"
  python -m corvane.circuit draw "$out/$name.qasm" --timeline "$out/${name}_timeline.png" --t1g 20ns --t2g 50ns
done
echo "wrote $out/: the transpiled programs, report.jsonl (one row per program), *_dag.png (gate DAG of each input), *_timeline.png (decoupled)"
