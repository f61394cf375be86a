"""GNU Radio for the tests that need it: imported, or the test is skipped.

CI's GNU Radio pass sets QUORVEL_REQUIRE_GNURADIO=1, which turns the skip
into a failure, so those tests cannot go quietly unrun there: GNU Radio's
Python package and the native blocks of gr-quorvel, built and installed
where that Python finds them.
"""

import importlib
import os

import pytest


def _require(module, missing, module_level):
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        if os.environ.get("QUORVEL_REQUIRE_GNURADIO"):
            pytest.fail(f"QUORVEL_REQUIRE_GNURADIO is set but {module} cannot be imported: {exc}", pytrace=False)
        pytest.skip(f"{missing} ({exc})", allow_module_level=module_level)


def require_gnuradio(module_level=False):
    """Import gnuradio.gr, or skip (fail where QUORVEL_REQUIRE_GNURADIO is set)."""
    return _require("gnuradio.gr", "GNU Radio is not installed; apt-get install gnuradio and use Debian's Python",
                    module_level)


def require_native_blocks(module_level=False):
    """Import gnuradio.quorvel, the blocks of gr-quorvel, or skip (fail where
    QUORVEL_REQUIRE_GNURADIO is set)."""
    require_gnuradio(module_level)
    return _require("gnuradio.quorvel", "gr-quorvel is not installed where this Python finds it; build and install "
                    "it (README: Using quorvel in GNU Radio) and put its Python directory on PYTHONPATH",
                    module_level)
