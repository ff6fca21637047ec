"""Sphinx configuration of the _quillmere_core docs: `./dev docs` builds them into
build/docs/html with the built module importable, so the API reference comes from it."""
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "_quillmere_core"
author = "The quillmere authors"
copyright = "the quillmere authors"
# Written once, in CMakeLists.txt.
release = version = re.search(r"project\(quillmere VERSION ([0-9.]+)",
                              (TOP / "CMakeLists.txt").read_text())[1]

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.intersphinx",
    "stub_types",       # types from the stub, and the check that the reference names all of it
    "bench_results",    # the performance page's figures and tables, from bench/results.json
]

# Every cross-reference must resolve.
nitpicky = True
# The panic exception's class is made per interpreter and exported nowhere, so there is
# nothing for a reference to it to link to; docs/reference/errors.rst describes it.
nitpick_ignore = [("py:exc", "PanicException")]
# Python's own objects link to its documentation, whose inventory Debian's python3-doc
# installs, so the build needs no network.
intersphinx_mapping = {
    "python": ("https://docs.python.org/3", "/usr/share/doc/python3/html/objects.inv"),
}

autodoc_typehints = "description"
autodoc_typehints_format = "short"
autodoc_member_order = "bysource"
# The classes live in the module but call themselves builtins.X.
add_module_names = False
python_use_unqualified_type_names = True


def _glued_headings(app, docname, source):
    """A heading typed right under a paragraph's last line, with no blank line between,
    renders as text (the underline a run of dashes) and leaves the contents, and docutils
    says nothing. Warns of every underline whose title line follows text."""
    from sphinx.util import logging
    lines = source[0].splitlines()
    for number in range(2, len(lines)):
        line, title, before = lines[number], lines[number - 1], lines[number - 2]
        if (re.fullmatch(r"([=\-~^\"'`#*+])\1{2,}", line) and title.strip()
                and not title.startswith(" ") and before.strip()
                and not re.fullmatch(r"([=\-~^\"'`#*+])\1{2,}", before)):
            logging.getLogger(__name__).warning(
                f"the heading {title!r} follows text with no blank line: it renders as text",
                location=(docname, number))


def setup(app):
    app.connect("source-read", _glued_headings)


exclude_patterns = ["_build"]
templates_path = []
html_theme = "furo"
html_title = f"_quillmere_core {release}"
html_static_path = ["_static"]
html_css_files = ["quillmere.css"]
html_copy_source = False
html_show_sourcelink = False
pygments_style = "sphinx"
pygments_dark_style = "monokai"
