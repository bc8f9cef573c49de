"""Every Python code block of the README runs as written."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(index, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib").use("Agg")
    if "qiskit" in BLOCKS[index]:
        pytest.importorskip("qiskit")  # an optional extra
    if "from distributed import" in BLOCKS[index]:
        pytest.importorskip("distributed")  # the optional cluster extra
    monkeypatch.chdir(tmp_path)  # blocks that write pictures write them here
    exec(compile(BLOCKS[index], f"README block {index}", "exec"), {"__name__": "__readme__"})
