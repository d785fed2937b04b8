"""Which `_plov` the suite measures, and a description of the machine it runs on."""

from __future__ import annotations

import importlib
import os
import platform
import sys
from pathlib import Path
from types import ModuleType
from typing import Any, Dict

ROOT = Path(__file__).resolve().parent.parent
# A build directory to take `_plov` from, ahead of anything installed. The suite sets it
# for the processes that must import the counting build.
BUILD_VAR = "PLOV_BENCH_BUILD"


def load_plov() -> ModuleType:
    """`_plov` from $PLOV_BENCH_BUILD if set, else the installed one, else build-dev/."""
    build = os.environ.get(BUILD_VAR)
    if build:
        sys.path.insert(0, str(Path(build).resolve()))
        mod = importlib.import_module("_plov")
        if Path(mod.__file__).resolve().parent != Path(build).resolve():
            raise ImportError(f"_plov was imported from {mod.__file__}, not from {build}")
        return mod
    try:
        return importlib.import_module("_plov")
    except ImportError:
        sys.path.insert(0, str(ROOT / "build-dev"))
        return importlib.import_module("_plov")


def machine() -> Dict[str, Any]:
    import numpy
    import scipy

    info: Dict[str, Any] = {
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "scipy": scipy.__version__,
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
    }
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        from importlib.metadata import version

        info["pykdtree"] = version("pykdtree")
        info["matplotlib"] = version("matplotlib")
    except Exception:
        pass
    return info


def load_average() -> float:
    try:
        return round(os.getloadavg()[0], 2)
    except OSError:
        return float("nan")
