"""What a pipeline's steps are, shared by the in-memory batch (pipeline) and the file
road (files): the checks of a list of steps, running them on one circuit, the copy of
the passes a batch sends to its workers, and the progress bar of a long batch."""

import inspect
import os
import pickle
from collections.abc import Mapping

from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.stratum import TranspilerPass

_PROTOCOL = pickle.HIGHEST_PROTOCOL


def checked_steps(steps):
    """``steps`` (``TranspilerPass`` instances or ``(pass, {run options})`` pairs) as a
    tuple of checked ``(pass, options)`` pairs; TypeError names a step that is neither."""
    if isinstance(steps, TranspilerPass) or isinstance(steps, (str, bytes)):
        raise TypeError(f"steps must be a list of steps, got {type(steps).__name__}")
    try:
        steps = list(steps)
    except TypeError:
        raise TypeError(f"steps must be a list of steps, got {type(steps).__name__}") from None
    return tuple(_check_step(position, step) for position, step in enumerate(steps))


def _pass_name(position, pass_):
    return f"step {position} ({type(pass_).__name__})"


def _check_step(position, step):
    """Return the step as a ``(pass, options)`` pair, or raise ``TypeError`` saying what is wrong."""
    if isinstance(step, TranspilerPass):
        return step, {}
    if isinstance(step, type) and issubclass(step, TranspilerPass):
        raise TypeError(
            f"step {position} is the class {step.__name__}; pass an instance, "
            f"such as {step.__name__}(...)"
        )
    if not (isinstance(step, (tuple, list)) and len(step) == 2):
        raise TypeError(
            f"step {position} must be a TranspilerPass instance or a pair "
            f"(pass, {{run options}}), got {type(step).__name__}"
        )
    pass_, options = step
    if not isinstance(pass_, TranspilerPass):
        raise TypeError(
            f"step {position}: the first item of a pair must be a TranspilerPass "
            f"instance, got {type(pass_).__name__}"
        )
    if not isinstance(options, Mapping):
        raise TypeError(
            f"{_pass_name(position, pass_)}: run options must be a mapping of "
            f"keyword to value, got {type(options).__name__}"
        )
    options = dict(options)
    if not all(isinstance(key, str) for key in options):
        raise TypeError(f"{_pass_name(position, pass_)}: run option names must be strings")
    _check_options(position, pass_, options)
    return pass_, options


def _check_options(position, pass_, options):
    """Refuse options that the pass's ``run`` does not take, before any circuit runs."""
    try:
        signature = inspect.signature(pass_.run)
    except (TypeError, ValueError):  # no signature to check against: run reports it
        return
    parameters = list(signature.parameters.values())
    if any(p.kind is p.VAR_KEYWORD for p in parameters):
        return
    accepted = [
        p.name for p in parameters[1:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
    ]
    unknown = [name for name in options if name not in accepted]
    if unknown:
        raise TypeError(
            f"{_pass_name(position, pass_)}: unknown run option(s) "
            f"{', '.join(map(repr, unknown))}; its run takes "
            f"{', '.join(accepted) if accepted else 'no options'}"
        )
    try:
        signature.bind(None, **options)
    except TypeError as err:
        raise TypeError(f"{_pass_name(position, pass_)}: {err}") from None


def _apply(steps, qc):
    """Run the steps in order on ``qc`` and return the last result."""
    if not steps:
        return qc.deepcopy()
    for position, (pass_, options) in enumerate(steps):
        qc = pass_.run(qc, **options)
        if not isinstance(qc, QuantumCircuit):
            raise TypeError(
                f"{_pass_name(position, pass_)} returned {type(qc).__name__}, not a QuantumCircuit"
            )
    return qc


# ---- batches ---------------------------------------------------------------------------


def _steps_blob(steps):
    """The steps pickled, which is also how a batch takes its copy of the passes."""
    try:
        return pickle.dumps(steps, _PROTOCOL)
    except Exception:
        for position, (pass_, _) in enumerate(steps):
            try:
                pickle.dumps(pass_, _PROTOCOL)
            except Exception as err:
                raise TypeError(
                    f"{_pass_name(position, pass_)} cannot be copied for a batch: "
                    f"{type(err).__name__}: {err}"
                ) from err
        raise


class _NoBar:
    """What a batch without progress=True moves instead of a bar."""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False

    def update(self, count):
        pass


def _progress_bar(total, unit, shown):
    """A progress bar on standard error, or a stand-in: importing tqdm takes
    some 20 ms, as long as compressing fifty small circuits."""
    if not shown:
        return _NoBar()
    from tqdm.auto import tqdm

    return tqdm(total=total, unit=unit)


def _cpu_count():
    if hasattr(os, "process_cpu_count"):  # Python 3.13+
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1
