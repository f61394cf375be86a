"""Sphinx extension writing the API reference's pages: one per public module
of the installed package, listing its public names (``public_names``) in a
summary table with their signatures, then documenting each in full."""

import importlib
import inspect
import pkgutil
from pathlib import Path

from docutils import nodes
from numpydoc.docscrape_sphinx import SphinxDocString
from sphinx.ext.autodoc.mock import mock
from sphinx.util import logging

import quorvel

logger = logging.getLogger(__name__)
GENERATED = Path(__file__).parent / "api" / "generated"


def public_modules():
    return sorted(f"quorvel.{m.name}" for m in pkgutil.iter_modules(quorvel.__path__) if not m.name.startswith("_"))


def public_names(module):
    """``__all__``; an extension module, which imports nothing, without one:
    every name that does not start with an underscore."""
    if hasattr(module, "__all__"):
        return list(module.__all__)
    if module.__file__.endswith(".py"):
        logger.warning(f"{module.__name__} has no __all__, so its public names are unknown")
        return []
    return sorted(name for name in vars(module) if not name.startswith("_"))


def directive(module, name):
    obj = getattr(module, name)
    if inspect.isclass(obj):
        return [f".. autoclass:: {name}", "   :members:", "   :undoc-members:"]
    if callable(obj):
        return [f".. autofunction:: {name}"]
    return [f".. autodata:: {name}"]


def page(module, names):
    title = f"``{module.__name__}``"
    lines = [title, "=" * len(title), "", f".. automodule:: {module.__name__}", "", ".. rubric:: Summary", "",
             ".. autosummary::", ""]
    lines += [f"   {name}" for name in names] + [""]
    for name in names:
        lines += directive(module, name) + [""]
    return "\n".join(lines)


def write_pages(app):
    GENERATED.mkdir(parents=True, exist_ok=True)
    wanted = {}
    app.env.quorvel_public_names = {}
    with mock(app.config.autodoc_mock_imports):
        for name in public_modules():
            module = importlib.import_module(name)
            app.env.quorvel_public_names[name] = names = public_names(module)
            wanted[GENERATED / f"{name}.rst"] = page(module, names)
    for stale in set(GENERATED.glob("*.rst")) - set(wanted):
        stale.unlink()
    for path, text in wanted.items():
        if not path.exists() or path.read_text() != text:  # unchanged pages are not read again
            path.write_text(text)


def module_sections_as_rubrics(app, what, name, obj, options, lines):
    """numpydoc leaves module docstrings as they are, so their "Examples"
    would become a section holding the rest of the page: render them as
    numpydoc renders every other docstring."""
    if what == "module":
        lines[:] = str(SphinxDocString("\n".join(lines), config={"show_class_members": False})).splitlines()


def show_examples_only(app, doctree):
    """Examples of a module in ``api_pages_examples_not_run`` are shown, not run."""
    if app.env.docname.rpartition("/")[2] in app.config.api_pages_examples_not_run:
        for block in list(doctree.findall(nodes.doctest_block)):
            block.replace_self(nodes.literal_block(block.rawsource, block.astext(), language="pycon"))


def check_every_name_documented(app, env):
    objects = env.get_domain("py").objects
    for module, names in env.quorvel_public_names.items():
        for name in names:
            if f"{module}.{name}" not in objects:
                logger.warning(f"{module}.{name} is public but was not documented")


def setup(app):
    app.add_config_value("api_pages_examples_not_run", [], "env")
    app.connect("builder-inited", write_pages)
    app.connect("autodoc-process-docstring", module_sections_as_rubrics)
    app.connect("doctree-read", show_examples_only)
    app.connect("env-check-consistency", check_every_name_documented)
    return {"parallel_read_safe": True}
