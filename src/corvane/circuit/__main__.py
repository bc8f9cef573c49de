"""``python -m corvane.circuit``: the ``corvane-circuit`` command line."""

import sys

from corvane.circuit.cli import main

sys.exit(main())
