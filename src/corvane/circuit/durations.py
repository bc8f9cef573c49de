"""Units of time, for every place that reads or writes a duration: the command
line's gate durations, Qiskit's delay units and the drawings' delay labels.
Durations are seconds everywhere else."""

# Unit -> the decimal exponent of its length in seconds; "us" and "µs" are one unit.
UNIT_EXPONENTS = {"s": 0, "ms": -3, "us": -6, "µs": -6, "ns": -9, "ps": -12}
# Seconds per unit, each the double its decimal literal reads as ("1e-9").
SECONDS_PER_UNIT = {unit: float(f"1e{exponent}") for unit, exponent in UNIT_EXPONENTS.items()}
# The units a drawing writes, largest first, one spelling per scale.
DISPLAY_UNITS = tuple((SECONDS_PER_UNIT[unit], unit) for unit in ("s", "ms", "µs", "ns", "ps"))
# The units the command line takes for gate durations.
GATE_DURATION_UNITS = ("s", "ms", "us", "µs", "ns")
