"""``python -m corvane.circuit``: the ``corvane-circuit`` command line."""

import sys

from corvane.circuit.cli import main

if __name__ == "__main__":
    sys.exit(main())
