"""Sort the samples of a perf profile into cost classes: engine, reading the input, creating
objects, filling dicts, garbage collection, freeing, page faults, interpreter.

    python bench/profile_summary.py PASS perf.data
"""

import re
import subprocess
import sys

CLASSES = [
    (
        "garbage collection",
        r"^(gc_collect|visit_|subtract_refs|update_refs|move_|deduce_unreachable|"
        r"_PyGC_|gc_|handle_legacy_finalizers|untrack_|finalize_)",
    ),
    (
        "freeing objects",
        r"(_dealloc$|^PyObject_GC_Del|^_PyObject_Free|^free$|^_int_free|^cfree|"
        r"^dict_dealloc|^free_keys_object|^_Py_Dealloc|^list_clear|^unlink_chunk)",
    ),
    (
        "filling dicts",
        r"^(PyDict_|insertdict|insert_to_emptydict|dictresize|new_keys_object|"
        r"unicodekeys_lookup|_PyDict_|dict_|find_empty_slot|build_indices|"
        r"_Py_dict_lookup|lookdict)",
    ),
    (
        "creating objects",
        r"^(_PyObject_Malloc|PyObject_Malloc|_PyObject_GC_|PyObject_GC_|tuple_alloc|"
        r"PyTuple_|PyList_|PyFloat_FromDouble|PyLong_From|_PyLong_From|PyUnicode_From|"
        r"unicode_|_PyUnicode_|PyUnicode_New|_PyObject_New|pymalloc|allocate_from_new_pool|"
        r"_PyLong_New|list_|_PyList_|malloc|_int_malloc|_PyTuple_|PyObject_Init|"
        r"PyBytes_|_PyObject_Calloc)",
    ),
    (
        "reading the input",
        r"^(PyUnicode_AsUTF8|ascii_decode|PyLong_As|PyFloat_As|_PyLong_As|PyNumber_|"
        r"PyObject_GetItem|PyObject_GetAttr|PySequence_|PyIter_|PyObject_Hash|"
        r"unicode_hash|_Py_HashDouble|PyObject_RichCompare|long_richcompare)",
    ),
    (
        "interpreter and calls",
        r"^(_PyEval|PyObject_Call|_PyObject_Call|PyObject_Vectorcall|_PyFunction|"
        r"method_|cfunction_|vectorcall|slot_|_PyType_Lookup|PyType_)",
    ),
]


def classify(dso, sym):
    if "kallsyms" in dso:
        return "kernel (page faults, zeroing)"
    if "cpython-3" in dso and dso.split(".")[0] in (
        "dag",
        "optimize",
        "schedule",
        "_convert",
        "stratum",
        "matrix",
        "decompose",
    ):
        return "our extension (engine + binding)"
    for name, pat in CLASSES:
        if re.search(pat, sym):
            return name
    if "_multiarray_umath" in dso or "numpy" in dso:
        return "numpy"
    if "libc" in dso:
        return "libc (malloc, memcpy)"
    if "libpython" in dso or dso.startswith("python"):
        return "other CPython"
    return f"other ({dso})"


def summarise(path):
    out = subprocess.run(
        [
            "perf",
            "report",
            "-i",
            path,
            "--no-children",
            "--sort",
            "dso,symbol",
            "--stdio",
            "-g",
            "none",
        ],
        capture_output=True,
        text=True,
    ).stdout
    totals, samples = {}, None
    for line in out.splitlines():
        m = re.match(r"# Samples: (\S+)", line)
        if m:
            samples = m.group(1)
        m = re.match(r"\s+([\d.]+)%\s+(\S+)\s+\[[.k]\]\s+(.*?)\s+-\s+-\s*$", line) or re.match(
            r"\s+([\d.]+)%\s+(\S+)\s+\[[.k]\]\s+(\S+)", line
        )
        if m:
            pct, dso, sym = float(m.group(1)), m.group(2), m.group(3).strip()
            k = classify(dso, sym)
            totals[k] = totals.get(k, 0.0) + pct
    return samples, totals


if __name__ == "__main__":
    name, path = sys.argv[1], sys.argv[2]
    samples, totals = summarise(path)
    print(f"## {name} ({samples} samples)")
    for k, v in sorted(totals.items(), key=lambda kv: -kv[1]):
        print(f"  {v:5.1f}%  {k}")
