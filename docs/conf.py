"""Sphinx settings of the documentation: Markdown pages (MyST), an API reference from the numpydoc
docstrings, and the command line's reference from its parser."""

import pathlib
import sys

# The local extension that writes the command-line reference; voxwarpkit itself is imported from where it
# is installed (CI: the wheel; by hand: PYTHONPATH=python).
sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

import voxwarpkit  # noqa: E402

project = "voxwarpkit"
author = "the voxwarpkit developers"
copyright = "the voxwarpkit developers, MIT licence"
release = voxwarpkit.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "myst_parser",
    "argparse_reference",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
# Links to a section of another page (neuroimaging.md#coming-from-nibabel-resample_image) need anchors.
myst_heading_anchors = 3

autodoc_typehints = "none"  # the numpydoc sections and the signature already say what each argument is
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

html_theme = "pydata_sphinx_theme"
html_title = f"voxwarpkit {release}"
html_theme_options = {"navigation_depth": 2, "show_toc_level": 2}
smartquotes = False  # option names such as --fill stay two hyphens in the help texts shown
