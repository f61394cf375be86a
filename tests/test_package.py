"""The package as a whole: one version, what an installation holds, a
docstring that names every module, no import circle, and GNU Radio
imported by its block module only."""

import ast
import importlib.metadata
import pathlib
import subprocess
import sys

import quorvel

PACKAGE = pathlib.Path(quorvel.__file__).parent


def test_the_installed_version_is_the_one_in_the_package():
    assert importlib.metadata.version("quorvel") == quorvel.__version__


def test_an_installation_holds_the_package_its_stubs_and_the_command_only():
    dist = importlib.metadata.distribution("quorvel")
    files = [f for f in dist.files if "__pycache__" not in f.parts]
    # site-packages/quorvel, its metadata, libraries a repaired wheel may carry, and the script (../bin/quorvel)
    places = {"quorvel", f"quorvel-{dist.version}.dist-info", "quorvel.libs", ".."}
    assert {f.parts[0] for f in files} <= places, files
    package = [f for f in files if f.parts[0] == "quorvel"]
    assert not any(f.name.startswith(("test", "conftest")) for f in package), package
    assert all(f.suffix in (".py", ".pyi", ".so") or f.name == "py.typed" for f in package), package
    names = {f.name for f in package}
    assert "py.typed" in names and all(f"{f.name.split('.')[0]}.pyi" in names for f in package if f.suffix == ".so")

    scripts = [f for f in files if f.parts[0] == ".."]
    assert [f.name for f in scripts] == ["quorvel"]
    result = subprocess.run([str(dist.locate_file(scripts[0])), "--version"], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout == f"quorvel {quorvel.__version__}\n", result.stderr


def test_the_docstring_lists_every_module():
    modules = {p.name.split(".")[0] for p in PACKAGE.iterdir() if p.suffix in (".py", ".pyi", ".so")}
    public = {m for m in modules if not m.startswith("_")}
    assert public >= {"agc", "arith", "cli", "demo", "interp", "telemetry", "util"}
    for module in public:
        assert f"``quorvel.{module}``" in quorvel.__doc__, module


def test_nothing_but_quorvel_gnuradio_imports_gnu_radio():
    code = ("import sys, quorvel, quorvel.agc, quorvel.arith, quorvel.interp, quorvel.util, quorvel.telemetry, "
            "quorvel.iqfile, quorvel.cli, quorvel.demo; print([m for m in ('gnuradio', 'pmt') if m in sys.modules])")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout == "[]\n", result.stderr


def test_without_gnu_radio_the_block_module_says_what_to_install():
    code = "import sys; sys.modules['gnuradio'] = None; import quorvel.gnuradio"  # as if it were not installed
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    last = result.stderr.strip().splitlines()[-1]
    assert result.returncode == 1 and last.startswith("ImportError: quorvel.gnuradio needs GNU Radio's Python package")
    assert "apt-get install gnuradio" in last and "Using quorvel in GNU Radio" in last


def imports_of_every_module():
    """{module: the package's modules it imports}, imports inside functions included."""
    modules = {".".join(("quorvel",) + f.relative_to(PACKAGE).with_suffix("").parts).removesuffix(".__init__"): f
               for f in PACKAGE.rglob("*.py")}
    found = {}
    for name, path in modules.items():
        package = name if path.name == "__init__.py" else name.rpartition(".")[0]
        targets = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                targets.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    base = ".".join(package.split(".")[:len(package.split(".")) - node.level + 1] + [base]).rstrip(".")
                targets.update([base] + [f"{base}.{alias.name}" for alias in node.names])
        found[name] = {t for t in targets if t in modules and t != name}
    return found


def test_no_module_of_the_package_imports_itself_through_others():
    imports = imports_of_every_module()
    assert {"quorvel.iqfile", "quorvel._recordings.errors", "quorvel._recordings.options"} <= set(imports)
    assert imports["quorvel._recordings.errors"] == set()  # the leaf every layer may import
    circles = []

    def visit(name, path):
        for target in sorted(imports[name]):
            if target in path:
                circles.append(path[path.index(target):] + [target])
            else:
                visit(target, path + [target])

    for name in imports:
        visit(name, [name])
    assert circles == []
