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
