"""GNU Radio Companion flowgraphs for the tests: written as .grc files,
compiled by grcc as Companion compiles them, and the generated top block
loaded."""

import os
import runpy
import shutil
import subprocess
import sys

import yaml


def block(name, kind, **parameters):
    """One block of a flowgraph: its id in the file, its kind and parameters as Companion writes them."""
    return {"name": name, "id": kind, "parameters": {key: str(value) for key, value in parameters.items()},
            "states": {"coordinate": [0, 0], "rotation": 0, "state": "enabled"}}


def compile_flowgraph(folder, name, blocks, connections, env=None):
    """Writes <folder>/<name>.grc, a flowgraph without a GUI that runs until
    stopped or done, compiles it with grcc and returns the generated script."""
    options = {"id": name, "title": name, "generate_options": "no_gui", "run_options": "run",
               "output_language": "python"}
    flowgraph = {"options": {"parameters": options, "states": block("", "")["states"]}, "blocks": blocks,
                 "connections": [[a, str(p), b, str(q)] for a, p, b, q in connections],
                 "metadata": {"file_format": 1}}
    grc = folder / f"{name}.grc"
    grc.write_text(yaml.safe_dump(flowgraph, sort_keys=False))
    grcc = shutil.which("grcc")
    assert grcc, "grcc is not on PATH (Debian: apt-get install gnuradio)"
    # grcc under this Python, as Companion started with it: an Embedded Python Block's code runs in it.
    result = subprocess.run([sys.executable, grcc, str(grc), "-o", str(folder)], capture_output=True, text=True,
                            env=env, timeout=120)
    script = folder / f"{name}.py"
    assert result.returncode == 0 and script.exists(), result.stdout + result.stderr
    return script


def load_top_block(script):
    """The generated top block's class."""
    sys.path.insert(0, os.fspath(script.parent))  # an Embedded Python Block's module lies beside the script
    try:
        namespace = runpy.run_path(os.fspath(script), run_name=script.stem)  # not "__main__": no flowgraph starts
    finally:
        sys.path.remove(os.fspath(script.parent))
    return namespace[script.stem]
