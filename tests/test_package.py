"""The package as a whole: one version, and a docstring that names every module."""

import importlib.metadata
import pathlib

import quorvel

PACKAGE = pathlib.Path(quorvel.__file__).parent


def test_the_installed_version_is_the_one_in_the_package():
    assert importlib.metadata.version("quorvel") == quorvel.__version__


def test_the_docstring_lists_every_module():
    modules = {p.name.split(".")[0] for p in PACKAGE.iterdir() if p.suffix in (".py", ".pyi", ".so")}
    public = {m for m in modules if not m.startswith("_")}
    assert public >= {"agc", "arith", "cli", "demo", "interp", "telemetry", "util"}
    for module in public:
        assert f"``quorvel.{module}``" in quorvel.__doc__, module
