"""The examples in README.md, run with doctest so that they stay true."""
from pathlib import Path

from conftest import run_python

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks(text):
    """(line number, lines) of every ```python block."""
    blocks, start = [], None
    for number, line in enumerate(text.splitlines(), 1):
        if start is None and line == "```python":
            start, body = number, []
        elif start is not None and line == "```":
            blocks.append((start, body))
            start = None
        elif start is not None:
            body.append(line)
    return blocks


def test_every_python_block_is_a_doctest():
    # A block without prompts would go unchecked.
    blocks = python_blocks(README.read_text())
    assert len(blocks) >= 8
    assert [start for start, body in blocks if not body[0].startswith(">>> ")] == []


def test_readme_examples_hold(tmp_path):
    # Only the python blocks, each at its own line, so that doctest reports README's line
    # numbers. A fresh interpreter runs them: one of them installs a signal handler.
    lines = README.read_text().splitlines()
    kept = [""] * len(lines)
    for start, body in python_blocks(README.read_text()):
        kept[start:start + len(body)] = body
    copy = tmp_path / "README.md"
    copy.write_text("\n".join(kept) + "\n")
    # With Python's SIGINT handler in place, as in a terminal, whatever the suite inherited.
    result = run_python(f"""
        import doctest, signal
        signal.signal(signal.SIGINT, signal.default_int_handler)
        failed, attempted = doctest.testfile({str(copy)!r}, module_relative=False,
                                             optionflags=doctest.ELLIPSIS)
        print(failed, attempted)
    """)
    *report, summary = result.stdout.splitlines()
    failed, attempted = map(int, summary.split())
    assert failed == 0, "\n".join(report)
    assert attempted == README.read_text().count("\n>>> ")
