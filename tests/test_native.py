"""Builds the native test programs of tests/native with CMake and runs them.

They check what Python cannot reach directly: each instruction-set variant
of a vectorised loop against its scalar reference, bit for bit. With
QUORVEL_SANITIZE=ON in the environment they are built with the sanitizers.
"""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SANITIZE = os.environ.get("QUORVEL_SANITIZE", "OFF").upper() in ("1", "ON", "TRUE")
BUILD = ROOT / "build" / ("native-tests-asan" if SANITIZE else "native-tests")


@pytest.fixture(scope="module")
def native_build():
    if shutil.which("cmake") is None:
        pytest.fail("cmake is needed to build the native tests (pip install '.[test]')")
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
        "-DQUORVEL_MODULES=OFF", "-DQUORVEL_NATIVE_TESTS=ON",
        f"-DQUORVEL_SANITIZE={'ON' if SANITIZE else 'OFF'}",
    ]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(BUILD), "-j2"], check=True, capture_output=True)
    return BUILD


def native_tests():
    return sorted(p.stem for p in (ROOT / "tests" / "native").glob("test_*.cpp"))


@pytest.mark.parametrize("name", native_tests())
def test_native_program(native_build, name):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
    env.pop("LD_PRELOAD", None)  # the programs link their sanitizer runtimes themselves
    result = subprocess.run([str(native_build / "tests" / "native" / name)],
                            capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
