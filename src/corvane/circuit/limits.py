"""Ceilings on what one program or one pass may cost, and the error that names them.

A few bytes of OpenQASM can declare billions of qubits or define gates that expand
into more gates than memory holds, and a pass asked for pulses on a long idle
window can produce more entries than any device runs. Each ceiling below is
checked before the work it bounds is done, and raises ``LimitExceeded`` naming
the option that raises it: the keyword of the Python call and the command line's
flag.
"""

__all__ = ["LimitExceeded", "MAX_ENTRIES", "MAX_GATES", "MAX_QUBITS", "ceiling"]

# Qubits one program may declare: about 40 bytes each while reading, so 40 MB at
# the ceiling; a thousand times the largest devices and circuits seen in public
# collections. Raised with ``max_qubits=`` or ``--max-qubits``.
MAX_QUBITS = 1 << 20

# Gate entries one program may expand to when read, and entries one pass may
# produce: 2.5x the largest decoupled program of the public folders tried
# (19.8 million entries), a few GB as Python entries. Raised with
# ``max_gates=`` / ``--max-gates`` and ``max_entries=`` / ``--max-entries``.
MAX_GATES = 50_000_000
MAX_ENTRIES = 50_000_000


class LimitExceeded(ValueError):
    """A program or a pass would exceed one of the ceilings of ``corvane.circuit.limits``;
    the message names the option that raises it."""


def ceiling(value, default, keyword):
    """The ceiling a caller asked for with ``keyword=value``: ``default`` for None, else
    ``value``, a positive int (TypeError, ValueError otherwise)."""
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{keyword} must be a positive int or None, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{keyword} must be a positive int or None, got {value}")
    return value
