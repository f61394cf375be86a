"""Sphinx configuration. The guides are README.md's and CONTRIBUTING.md's own
text, included by the pages beside this file; the API reference is made from
the docstrings of the installed package, one page per public module, listing
what ``api_pages.public_names`` finds there."""

import importlib.util
import os
import pathlib
import sys

import quorvel

sys.path.insert(0, str(pathlib.Path(__file__).parent))  # api_pages.py, the extension beside this file

project = "quorvel"
author = "the quorvel developers"
copyright = "the quorvel developers"
release = version = quorvel.__version__

extensions = ["myst_parser", "numpydoc", "sphinx.ext.autodoc", "sphinx.ext.autosummary", "sphinx.ext.doctest",
              "api_pages", "command_page"]
exclude_patterns = ["_build"]
html_theme = "furo"
html_title = f"quorvel {release}"

# README's sections keep the heading levels they have in the README, so a
# page made of one starts at ## and its subsections at ###.
suppress_warnings = ["myst.header"]
myst_heading_anchors = 3

# Document what the extension modules hold, docstrings included, not their
# type stubs (which newer Sphinx would import in their place).
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
numpydoc_show_class_members = False  # autodoc lists the members, once
numpydoc_class_members_toctree = False

# GNU Radio's Python package belongs to the system's interpreter; where it is
# absent, quorvel.gnuradio is documented over stand-ins of its imports, and
# its examples (which need the real thing) are shown but not run here:
# tests/test_gnuradio.py runs them where GNU Radio is.
GNURADIO = importlib.util.find_spec("gnuradio") is not None
autodoc_mock_imports = [] if GNURADIO else ["gnuradio", "pmt"]
api_pages_examples_not_run = [] if GNURADIO else ["quorvel.gnuradio"]
