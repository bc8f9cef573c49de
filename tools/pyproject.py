"""Prints requirements from pyproject.toml, their one home, one a line, for the shell scripts:
python tools/pyproject.py build      the build-system requirements
python tools/pyproject.py extras     the names of the optional extras but `test`
python tools/pyproject.py EXTRA      the requirements of one extra
"""

import pathlib
import sys

import tomllib

meta = tomllib.loads(
    (pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
)
extras = meta["project"].get("optional-dependencies", {})
what = sys.argv[1]
if what == "build":
    print("\n".join(meta["build-system"]["requires"]))
elif what == "extras":
    print("\n".join(name for name in extras if name != "test"))
else:
    print("\n".join(extras[what]))
