"""The build's own guards: a sanitizer value CMake does not know stops the
configuration, as does a target system other than Linux, and an object built
for one instruction set may not define a weak function
(cmake/check_isa_objects.cmake)."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
TOOLS_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in the tools

pytestmark = [pytest.mark.source_tree,
              pytest.mark.skipif(shutil.which("cmake") is None or shutil.which("g++") is None,
                                 reason="needs cmake and g++ (pip install '.[test]')")]


@pytest.mark.parametrize("value", ["tsan", "asan", "1", "on"])
def test_an_unknown_sanitizer_value_stops_the_configuration(tmp_path, value):
    result = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path), "-DQUORVEL_MODULES=OFF",
                             f"-DQUORVEL_SANITIZE={value}"], capture_output=True, text=True, env=TOOLS_ENV)
    assert result.returncode != 0
    assert f"QUORVEL_SANITIZE is '{value}'; use OFF, ON or thread" in " ".join(result.stderr.split())


# A toolchain file is read when the compilers are probed, which for Darwin or
# Windows g++ fails on its own; FreeBSD's probe passes and the check follows.
@pytest.mark.parametrize("named_by, system", [("definition", "Darwin"), ("definition", "Windows"),
                                              ("definition", "FreeBSD"), ("toolchain", "FreeBSD")])
def test_another_system_stops_the_configuration_with_one_message(tmp_path, named_by, system):
    if named_by == "definition":
        how = f"-DCMAKE_SYSTEM_NAME={system}"
    else:
        (tmp_path / "toolchain.cmake").write_text(f"set(CMAKE_SYSTEM_NAME {system})\n")
        how = f"-DCMAKE_TOOLCHAIN_FILE={tmp_path / 'toolchain.cmake'}"
    result = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path / "build"), "-DQUORVEL_MODULES=OFF", how],
                            capture_output=True, text=True, env=TOOLS_ENV)
    message = " ".join(result.stderr.split())
    assert result.returncode != 0
    assert f"quorvel builds for Linux only, not {system}" in message and "CONTRIBUTING.md" in message, message
    assert message.count("CMake Error") == 1, message


def check_objects(tmp_path, source, *flags):
    (tmp_path / "isa.cpp").write_text(source)
    obj = tmp_path / "isa.o"
    subprocess.run(["g++", "-std=c++20", *flags, "-c", str(tmp_path / "isa.cpp"), "-o", str(obj)], check=True, env=TOOLS_ENV)
    stamp = tmp_path / "checked"
    result = subprocess.run(["cmake", f"-DNM={shutil.which('nm')}", f"-DOBJECTS={obj}", f"-DSTAMP={stamp}",
                             "-P", str(ROOT / "cmake" / "check_isa_objects.cmake")], capture_output=True, text=True,
                            env=TOOLS_ENV)
    return result, stamp.exists()


def test_a_weak_function_in_a_per_isa_object_fails_the_build(tmp_path):
    # std::fma at -O0 with AVX2 flags is the case that once reached the baseline path.
    source = "#include <cmath>\nnamespace {\nfloat f(float a) { return std::fma(a, a, a); }\n}\nfloat (*p)(float) = f;\n"
    result, checked = check_objects(tmp_path, source, "-O0", "-mavx2", "-mfma")
    message = " ".join(result.stderr.split())  # CMake wraps its messages
    assert result.returncode != 0 and not checked
    assert "defines weak functions" in message and "W std::fma(float, float, float)" in message


def test_an_object_with_local_helpers_only_passes(tmp_path):
    source = "#include <cmath>\nnamespace {\nfloat f(float a) { return std::fma(a, a, a); }\n}\nfloat (*p)(float) = f;\n"
    result, checked = check_objects(tmp_path, source, "-O2", "-mavx2", "-mfma")
    assert result.returncode == 0 and checked, result.stderr
