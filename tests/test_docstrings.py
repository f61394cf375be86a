"""Every public module's examples run, the README's too, and every name of
an extension module carries them: the documentation cannot drift from the
code."""

import doctest
import importlib
import importlib.util
import pkgutil

import pytest

import quorvel
from gnuradio_or_skip import require_gnuradio

# Every public module of the package, as the API reference lists them.
PUBLIC = sorted(f"quorvel.{m.name}" for m in pkgutil.iter_modules(quorvel.__path__) if not m.name.startswith("_"))
NATIVE = [name for name in PUBLIC if not importlib.util.find_spec(name).origin.endswith(".py")]
# The command and its demonstration, which show themselves by running.
WITHOUT_EXAMPLES = {"quorvel.cli", "quorvel.demo"}

# Property docstrings that are one summary line by design.
ONE_LINERS = {"Gain db.\n", "Ref db.\n", "Loop bw.\n", "Alpha.\n", "Clip db.\n", "Gain update period.\n"}


def documented_objects():
    for module_name in NATIVE:
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


@pytest.mark.parametrize("name", PUBLIC)
def test_every_public_modules_examples_run(name):
    if name == "quorvel.gnuradio":
        require_gnuradio()
    module = importlib.import_module(name)
    tests = [t for t in doctest.DocTestFinder().find(module) if t.examples]
    for test in tests:
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))
    assert bool(tests) == (name not in WITHOUT_EXAMPLES), name


def test_readme_snippets_run():
    import pathlib
    readme = pathlib.Path(__file__).resolve().parents[1] / "README.md"
    result = doctest.testfile(str(readme), module_relative=False,
                              optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


def test_readme_levelling_example_runs(tmp_path):
    """The shell example of "Levelling recordings" runs as written, on recordings made here."""
    import json
    import os
    import pathlib
    import subprocess
    import sys

    import numpy as np

    from quorvel.iqfile import level_file

    text = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    script = text.split("<!-- levelling example -->\n```sh\n", 1)[1].split("```", 1)[0]
    rng = np.random.default_rng(4)
    rng.integers(0, 256, 2 * 300_000, dtype=np.uint8).tofile(tmp_path / "rec.cu8")
    rng.integers(-900, 900, 2 * 2 * 5000).astype("<i2").tofile(tmp_path / "capture.sigmf-data")
    (tmp_path / "capture.sigmf-meta").write_text(json.dumps({
        "global": {"core:datatype": "ci16_le", "core:version": "1.2.0", "core:num_channels": 2},
        "captures": [{"core:sample_start": 0}], "annotations": []}))
    whole = (rng.normal(size=30_000) + 1j * rng.normal(size=30_000)).astype("<c8")
    whole[:8 * 2000].tofile(tmp_path / "part1.cf32")
    whole[8 * 2000:].tofile(tmp_path / "part2.cf32")
    (tmp_path / "field").mkdir()
    for k in range(3):
        rng.integers(-9000, 9000, 2 * 7000).astype("<i2").tofile(tmp_path / "field" / f"site{k}.cs16")
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    result = subprocess.run(["bash", "-e", "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "start.cf32").read_bytes() == (tmp_path / "rec.cf32").read_bytes()[:800_000]
    whole.tofile(tmp_path / "whole.cf32")
    level_file(tmp_path / "whole.cf32", tmp_path / "expected.cf32")
    assert (tmp_path / "out1.cf32").read_bytes() + (tmp_path / "out2.cf32").read_bytes() == \
        (tmp_path / "expected.cf32").read_bytes()
    assert os.path.getsize(tmp_path / "levelled.sigmf-data") == 5000 * 2 * 8
    assert sorted(os.listdir(tmp_path / "levelled")) == ["quorvel-manifest.jsonl", "site0.cs16", "site1.cs16", "site2.cs16"]
    assert len(np.load(tmp_path / "probes.npz")["gain_db"]) == 300_000 // 8
