"""Builds the native test programs of tests/native with CMake and runs them.

They check what Python cannot reach directly: each instruction-set variant
of a vectorised loop against its scalar reference, bit for bit, the load-time
choice, the telemetry ring across threads and the public headers from C.
The build follows the same environment as `pip install`: QUORVEL_SANITIZE
(OFF, ON or thread; CMake refuses any other value), QUORVEL_REFERENCE_ONLY
and QUORVEL_WERROR.
"""

import os
import pathlib
import shlex
import shutil
import subprocess

import pytest

pytestmark = pytest.mark.source_tree

ROOT = pathlib.Path(__file__).resolve().parents[1]
SANITIZE = os.environ.get("QUORVEL_SANITIZE", "OFF")
REFERENCE_ONLY = os.environ.get("QUORVEL_REFERENCE_ONLY", "OFF")
WERROR = os.environ.get("QUORVEL_WERROR", "OFF")
BUILD = ROOT / "build" / ("native-tests" + ("-sanitized" if SANITIZE != "OFF" else "")
                          + ("-reference" if REFERENCE_ONLY != "OFF" else ""))


def run_or_fail(command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        pytest.fail(f"{shlex.join(command)} failed:\n{result.stdout}{result.stderr}", pytrace=False)


@pytest.fixture(scope="module")
def native_build():
    if shutil.which("cmake") is None:
        pytest.fail("cmake is needed to build the native tests (pip install '.[test]')")
    run_or_fail(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                 "-DQUORVEL_MODULES=OFF", "-DQUORVEL_NATIVE_TESTS=ON", f"-DQUORVEL_SANITIZE={SANITIZE}",
                 f"-DQUORVEL_REFERENCE_ONLY={REFERENCE_ONLY}", f"-DCMAKE_COMPILE_WARNING_AS_ERROR={WERROR}"])
    run_or_fail(["cmake", "--build", str(BUILD), "-j2"])
    return BUILD


def native_tests():
    return sorted(p.stem for p in (ROOT / "tests" / "native").glob("test_*.c*"))


def test_every_native_program_is_found():
    assert {"test_arith_variants", "test_interp_variants", "test_agc_variants", "test_tlm_ring",
            "test_c_api"} <= set(native_tests())


@pytest.mark.parametrize("name", native_tests())
def test_native_program(native_build, name):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
    env.pop("LD_PRELOAD", None)  # the programs link their sanitizer runtimes themselves
    result = subprocess.run([str(native_build / "tests" / "native" / name)],
                            capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
