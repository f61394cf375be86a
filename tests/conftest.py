"""Where the tests run: in a checkout or an unpacked sdist, against the
package installed from it; or, with QUORVEL_TEST_WHEEL=1 (CI's wheel pass),
in a copy of the tests without the sources, against an installed wheel.

Tests marked ``source_tree`` build or read the sources. Without them they
skip under QUORVEL_TEST_WHEEL=1 and fail anywhere else, so a tree that lost
its sources cannot pass by skipping.
"""

import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SOURCES = [ROOT / "src" / "quorvel", ROOT / "CMakeLists.txt", ROOT / "cmake"]
WHEEL_PASS = os.environ.get("QUORVEL_TEST_WHEEL") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "source_tree: builds or reads the sources (src/, the CMake files)")
    if WHEEL_PASS:
        import quorvel

        present = [str(p) for p in SOURCES if p.exists()]
        if present or ROOT in pathlib.Path(quorvel.__file__).resolve().parents:
            raise pytest.UsageError(f"QUORVEL_TEST_WHEEL=1 tests an installed wheel from a copy of the tests without "
                                    f"the sources, but {present or [quorvel.__file__]} is here")


def pytest_runtest_setup(item):
    if item.get_closest_marker("source_tree") is None:
        return
    missing = [str(p.relative_to(ROOT)) for p in SOURCES if not p.exists()]
    if not missing:
        return
    if WHEEL_PASS:
        pytest.skip("builds or reads the sources, which a wheel does not ship")
    pytest.fail(f"{', '.join(missing)} missing: run the tests in a checkout or an unpacked sdist "
                "(QUORVEL_TEST_WHEEL=1 skips this test, for a copy of the tests run against an installed wheel)",
                pytrace=False)
