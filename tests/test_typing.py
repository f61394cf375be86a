"""The type stubs let mypy --strict check code that uses every public name,
and they match what the modules really offer."""

import importlib
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest


def test_mypy_strict_accepts_typical_use(tmp_path):
    pytest.importorskip("mypy")
    usage = pathlib.Path(__file__).with_name("typing_usage.py")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", str(tmp_path), str(usage)],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_file_runs():
    import runpy
    runpy.run_path(str(pathlib.Path(__file__).with_name("typing_usage.py")))


@pytest.mark.parametrize("name", ["util", "arith", "interp", "agc", "telemetry"])
def test_stubs_ship_beside_the_modules(name):
    module = importlib.import_module(f"quorvel.{name}")
    stub = pathlib.Path(module.__file__).parent / f"{name}.pyi"
    assert stub.is_file()
    lines = stub.read_text().splitlines()
    declared = {line.split("(")[0].split()[-1].rstrip(":") for line in lines if line.startswith(("def ", "class "))}
    declared |= {line.split(":")[0] for line in lines if re.match(r"[A-Za-z]\w*: ", line)}  # module data
    public = set(getattr(module, "__all__", [n for n in dir(module) if not n.startswith("_")]))
    assert public <= declared, public - declared
    assert (stub.parent / "py.typed").is_file()


# The package's own sources are checked against NumPy 2's annotations (2.2, the last
# for Python 3.10, and later): NumPy 1.x stubs give bare `np.ndarray` no default type
# arguments and type some results Any.
@pytest.mark.source_tree
@pytest.mark.skipif(int(np.__version__.split(".")[0]) < 2,
                    reason="the package sources are type-checked against NumPy 2's annotations")
def test_package_sources_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    src = pathlib.Path(__file__).resolve().parents[1] / "src"
    sources = sorted(str(p.relative_to(src)) for p in (src / "quorvel").rglob("*.py"))
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", str(tmp_path), *sources], capture_output=True, text=True, cwd=src)
    assert result.returncode == 0, result.stdout + result.stderr


def test_telemetry_stub_matches_the_module():
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quorvel.telemetry"], capture_output=True,
                            text=True)
    assert result.returncode == 0, result.stdout + result.stderr
