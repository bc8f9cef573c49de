"""The type stubs agree with the installed modules."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
CONFIG = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"


def test_stubtest_passes_for_the_whole_package(tmp_path):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "--mypy-config-file",
            str(CONFIG),
            "corvane.circuit",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
