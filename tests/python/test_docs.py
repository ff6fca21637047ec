"""The examples in the docs and the README, run with doctest so that they stay true."""
import ast
import importlib.util
import re
from pathlib import Path

import pytest

from conftest import UNDER_ASAN, run_python

TOP = Path(__file__).resolve().parents[2]
PAGES = sorted(p.relative_to(TOP).as_posix() for p in (TOP / "docs").rglob("*.rst"))
# ASan's shadow memory and quarantine hold tens of MiB, which the sampler's example bounds.
BOUNDS_RESIDENT_SIZE = {"docs/guide/sampler.rst"}
# Pages whose examples use an optional library, with it.
NEEDS = {"docs/guide/exporting.rst": ("prometheus_client", "opentelemetry.sdk")}
# Python code that is not an example: an indented block after one of these directives.
CODE_BLOCK = re.compile(r"^(\s*)\.\. code-block:: python\n\n((?:\1 +.*\n|\n)+)", re.MULTILINE)
FENCED = re.compile(r"^```python\n(.*?)^```\n", re.MULTILINE | re.DOTALL)


def examples_of(path):
    """The file's text with its examples where they are, as doctest reads it: in Markdown,
    only the fenced python blocks, so that line numbers stay the file's own."""
    text = (TOP / path).read_text()
    if path.endswith(".md"):
        kept = ["" for _ in text.splitlines()]
        for block in FENCED.finditer(text):
            start = text.count("\n", 0, block.start(1))
            body = block.group(1).splitlines()
            kept[start:start + len(body)] = body
        return "\n".join(kept) + "\n"
    return text


def test_the_pages_have_examples_and_every_python_block_is_one():
    # A python block without prompts would go unchecked, unless it is code that compiles.
    assert {"docs/getting-started.rst", "docs/guide/signals.rst"} <= set(PAGES)
    readme = (TOP / "README.md").read_text()
    assert [b for b in FENCED.findall(readme) if not b.startswith(">>> ")] == []
    for path in PAGES:
        for indent, body in CODE_BLOCK.findall((TOP / path).read_text()):
            ast.parse("\n".join(line.removeprefix(indent + "   ") for line in body.splitlines()))


@pytest.mark.parametrize("path", ["README.md", *(p for p in PAGES if ">>> " in (TOP / p).read_text())])
def test_examples_hold(path, tmp_path):
    if UNDER_ASAN and path in BOUNDS_RESIDENT_SIZE:
        pytest.skip("the example bounds the resident size of a plain interpreter")
    for module in NEEDS.get(path, ()):
        if importlib.util.find_spec(module.split(".")[0]) is None or importlib.util.find_spec(module) is None:
            pytest.skip(f"needs {module}")
    copy = tmp_path / Path(path).name
    copy.write_text(examples_of(path))
    # A fresh interpreter per page, at the checkout (the exporting guide imports the example
    # programs), with Python's SIGINT handler in place as in a terminal, whatever the suite
    # inherited: the signals guide installs handlers.
    result = run_python(f"""
        import doctest, os, signal
        os.chdir({str(TOP)!r})
        signal.signal(signal.SIGINT, signal.default_int_handler)
        failed, attempted = doctest.testfile({str(copy)!r}, module_relative=False,
                                             optionflags=doctest.ELLIPSIS)
        print(failed, attempted)
    """)
    *report, summary = result.stdout.splitlines()
    failed, attempted = map(int, summary.split())
    assert failed == 0, "\n".join(report).replace(str(copy), path)
    assert attempted == copy.read_text().count(">>> ")
