"""Every fuzz target runs on its committed corpus (the inputs that reached new
coverage, and the regressions of past findings), so the targets keep working
as the package changes and each finding stays fixed."""

import importlib
import pathlib
import sys

import pytest

pytest.importorskip("atheris")
# The inputs carry huge and NaN parameters into numpy's arithmetic, which warns.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
TARGETS = sorted(path.stem for path in FUZZ.glob("*.py") if path.stem != "inputs")
CASES = [
    (target, path) for target in TARGETS for path in sorted((FUZZ / "corpus" / target).glob("*"))
]


@pytest.fixture(scope="module")
def targets():
    sys.path.insert(0, str(FUZZ))
    try:
        yield {name: importlib.import_module(name) for name in TARGETS}
    finally:
        sys.path.remove(str(FUZZ))


def test_every_target_has_a_corpus():
    assert TARGETS and all((FUZZ / "corpus" / target).is_dir() for target in TARGETS)


@pytest.mark.parametrize("target, path", CASES, ids=[f"{t}/{p.name[:12]}" for t, p in CASES])
def test_target_passes_its_corpus(targets, target, path):
    targets[target].test_one_input(path.read_bytes())
