"""quorvel.show_config and ``quorvel --info``: what they print against what
the native modules report, and the instruction set each core chose against
this CPU and build."""

import doctest
import importlib
import importlib.metadata
import os
import pathlib
import platform
import subprocess
import sys

import numpy as np
import pytest

import quorvel
from quorvel import _config

CORES = ["arith", "agc", "interp"]


def printed(capsys):
    quorvel.show_config()
    return capsys.readouterr().out


def fields(text):
    """{label: value} of the lines "label value" after their heading's indent."""
    found = {}
    for line in text.splitlines():
        for label in ["quorvel", "Python", "NumPy", *CORES, "reference-only build:", "GNU Radio", "Dask distributed",
                      "SigMF", "tqdm"]:
            if line.strip().startswith(label + " "):
                found[label.rstrip(":")] = line.strip()[len(label):].strip()
    return found


def reference_only_build():
    """Whether the installation under test was built with QUORVEL_REFERENCE_ONLY, as
    CI sets it in the environment for both the install and the tests (CMake's false values)."""
    return os.environ.get("QUORVEL_REFERENCE_ONLY", "OFF").upper() not in ("", "0", "OFF", "NO", "FALSE", "N")


def expected_isa():
    """The widest set the detection must choose on this CPU: from the kernel's flags
    on x86-64; Advanced SIMD on every aarch64; elsewhere the references alone."""
    if reference_only_build():
        return "reference"
    if platform.machine() != "x86_64":
        return "neon" if platform.machine() == "aarch64" else "reference"
    flags = set()
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("flags"):
            flags = set(line.split(":", 1)[1].split())
            break
    if {"avx2", "fma", "bmi2"} <= flags:
        return "avx512" if {"avx512f", "avx512bw", "avx512vl", "avx512dq"} <= flags else "avx2"
    return "sse2"


def test_show_config_prints_what_the_modules_report(capsys):
    shown = fields(printed(capsys))
    assert shown["quorvel"] == quorvel.__version__
    assert shown["Python"].startswith(f"{platform.python_version()} (") and sys.executable in shown["Python"]
    assert shown["NumPy"] == np.__version__
    for name in CORES:
        assert shown[name] == importlib.import_module(f"quorvel.{name}")._isa, name
    reported = {importlib.import_module(f"quorvel.{name}")._reference_only for name in CORES}
    assert len(reported) == 1 and shown["reference-only build"] == ("yes" if reported.pop() else "no")


def test_show_config_names_each_optional_component_with_its_version(capsys):
    shown = fields(printed(capsys))
    for label, distribution in [("Dask distributed", "distributed"), ("SigMF", "sigmf"), ("tqdm", "tqdm")]:
        assert shown[label] == importlib.metadata.version(distribution)  # the test extras install them
    try:
        from gnuradio import gr
    except ImportError:
        assert shown["GNU Radio"] == "not installed"
    else:
        assert shown["GNU Radio"] == gr.version()


@pytest.mark.skipif(platform.machine() == "x86_64" and not os.path.exists("/proc/cpuinfo"),
                    reason="the x86 features come from Linux's /proc/cpuinfo")
@pytest.mark.parametrize("name", CORES)
def test_each_core_runs_the_widest_set_this_cpu_has(name):
    module = importlib.import_module(f"quorvel.{name}")
    assert module._isa == expected_isa()
    assert module._reference_only is reference_only_build()


def test_info_prints_show_config_and_exits_0(capsys):
    expected = printed(capsys)
    for command in ([sys.executable, "-m", "quorvel", "--info"], [sys.executable, "-m", "quorvel", "--info", "agc"]):
        result = subprocess.run(command, capture_output=True, text=True)
        assert result.returncode == 0 and result.stderr == "", result.stderr
        assert result.stdout == expected


def test_import_quorvel_loads_no_extension_nor_optional_package():
    code = ("import sys, quorvel; print(sorted(m for m in sys.modules if m.split('.')[0] in "
            "('quorvel', 'numpy', 'gnuradio', 'dask', 'distributed', 'sigmf', 'tqdm')))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout == "['quorvel', 'quorvel._config']\n", result.stderr


def test_the_docstring_example_runs():
    test = doctest.DocTestFinder().find(_config.show_config, "show_config", globs={})[0]
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))
    assert test.examples and runner.summarize(verbose=False).failed == 0
