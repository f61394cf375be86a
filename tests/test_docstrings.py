"""Every docstring of the installed modules carries runnable Examples, and
they run: the documentation cannot drift from the code."""

import doctest
import importlib

import pytest

MODULES = ["quorvel.util", "quorvel.arith", "quorvel.interp", "quorvel.agc"]

# Property docstrings that are one summary line by design.
ONE_LINERS = {"Gain db.\n", "Ref db.\n", "Loop bw.\n", "Alpha.\n", "Clip db.\n", "Gain update period.\n"}


def documented_objects():
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        yield module_name, module
        for name in sorted(vars(module)):
            obj = getattr(module, name)
            if name.startswith("_") or not callable(obj):  # data (agc.PRESETS) is documented by its module
                continue
            yield f"{module_name}.{name}", obj
            if isinstance(obj, type):
                for attr in sorted(vars(obj)):
                    if attr.startswith("__") and attr not in ("__enter__", "__exit__"):
                        continue
                    yield f"{module_name}.{name}.{attr}", vars(obj)[attr]


CASES = list(documented_objects())


@pytest.mark.parametrize("name, obj", CASES, ids=[name for name, _ in CASES])
def test_docstring_examples_run(name, obj):
    doc = obj.__doc__
    if doc in ONE_LINERS:
        return
    assert doc and "Examples\n--------\n" in doc, f"{name} has no Examples section"
    test = doctest.DocTestParser().get_doctest(doc, {}, name, None, 0)
    assert test.examples, f"{name} has no examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("name, main", [("quorvel.telemetry", "Telemetry"), ("quorvel.iqfile", "level_file")])
def test_python_modules_examples_run(name, main):
    module = importlib.import_module(name)
    assert "Examples\n" in module.__doc__ and "Examples\n" in getattr(module, main).__doc__
    finder = doctest.DocTestFinder()
    tests = [t for t in finder.find(module) if t.examples]
    assert len(tests) >= 2
    for test in tests:
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))


def test_readme_snippets_run():
    import pathlib
    readme = pathlib.Path(__file__).resolve().parents[1] / "README.md"
    result = doctest.testfile(str(readme), module_relative=False,
                              optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
