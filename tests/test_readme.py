"""The README's Python examples run as written: every ```python block, in order, in one
namespace, the way a reader would paste them."""

import importlib.util
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


def python_blocks():
    return re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)


def test_readme_examples_run(tmp_path, monkeypatch):
    pytest.importorskip("scipy")
    monkeypatch.chdir(tmp_path)  # the files the examples write
    blocks = python_blocks()
    assert len(blocks) >= 6
    namespace = {"__name__": "readme"}
    for i, code in enumerate(blocks):
        if "dask" in code and importlib.util.find_spec("distributed") is None:
            continue  # the Dask example needs dask[distributed] (in the test extra)
        exec(compile(code, f"README.md, Python block {i + 1}", "exec"), namespace)
    assert namespace["chamfer"].shape == (len(namespace["clouds"]),) * 2
