"""The type stub against the built module: stubtest, the installed layout, return types."""
import ast
import os
import subprocess
import sys
import typing
from pathlib import Path

import pytest

import _quillmere_core as qc

from conftest import STUB, Fresh, run_python, sample_calls, stub_callables, stub_namespace
from typecheck import mypy_command

# stubtest imports the module, so it must run under the interpreter the module is built for.
needs_mypy_here = pytest.mark.skipif(
    (mypy_command() or [None])[0] != sys.executable, reason="needs mypy under this interpreter")


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=300, **kwargs)


@needs_mypy_here
def test_stubtest_finds_no_difference(tmp_path):
    # Names, parameters (kind, name, default), properties, final classes and __all__.
    # Return types are beyond it: test_every_return_value_has_its_stub_type covers them.
    # It reports success for a module named _x when it finds no stub at all, so the stub
    # is handed to it explicitly, and must be there.
    assert STUB.is_file()
    result = run([sys.executable, "-m", "mypy.stubtest", "_quillmere_core"],
                 env={**os.environ, "MYPYPATH": str(STUB.parent)}, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


# Checked with the module installed as a wheel installs it, with no search path set: the
# `E: code` comments are the errors mypy must report, and nothing else.
USAGE = """\
from typing import assert_type
import _quillmere_core as qc

assert_type(qc.register_signal_pipe(10), tuple[int, int])
assert_type(qc.IpcStats(name="a", ring_capacity=True).name(), str)
snapshot = qc.snapshot_resources()
snapshot.rss_bytes = 1  # E: misc
qc.IpcStats("a", 4.5)  # E: arg-type
class Mine(qc.SocketStats): ...  # E: misc

def make() -> None:
    qc.ResourceSnapshot()
    print("the call never returns")  # E: unreachable

def make_from(size: int) -> None:
    qc.ResourceSnapshot(size)  # E: arg-type
"""


def test_installed_layout_imports_and_type_checks(tmp_path):
    build_dir = Path(qc.__file__).parent
    if not (build_dir / "cmake_install.cmake").exists():
        pytest.skip("the module was not imported from a CMake build folder")
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", venv], check=True)
    python = venv / "bin" / "python"
    site = Path(run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                    check=True).stdout.strip())
    run(["cmake", "--install", build_dir, "--prefix", site], check=True)
    assert (site / "_quillmere_core.pyi").read_bytes() == STUB.read_bytes()
    assert (site / "_quillmere_core-stubs" / "__init__.pyi").read_bytes() == STUB.read_bytes()

    clean_env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    imported = run([python, "-c", "import _quillmere_core as qc; print(qc.__file__)"],
                   env=clean_env, cwd=tmp_path)
    assert imported.stdout.startswith(str(site)), imported.stdout + imported.stderr

    if mypy_command() is None:
        pytest.skip("needs mypy for the rest")
    (tmp_path / "usage.py").write_text(USAGE)
    checked = run([*mypy_command(), "--python-executable", python, "--strict",
                   "--warn-unreachable", "--no-incremental", "--no-error-summary",
                   "--hide-error-context", "usage.py"], env=clean_env, cwd=tmp_path)
    reported = sorted(
        (int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
        for line in checked.stdout.splitlines() if ": error: " in line
    )
    expected = sorted(
        (number, line.split("# E: ")[1])
        for number, line in enumerate(USAGE.splitlines(), 1) if "# E: " in line
    )
    assert reported == expected, checked.stdout + checked.stderr


def conforms(value, hint, owner):
    if hint is typing.Self:
        hint = owner
    if hint is type(None):
        return value is None
    if typing.get_origin(hint) is list:
        (item,) = typing.get_args(hint)
        return type(value) is list and all(conforms(v, item, owner) for v in value)
    if typing.get_origin(hint) is tuple:
        items = typing.get_args(hint)
        return (type(value) is tuple and len(value) == len(items)
                and all(conforms(v, h, owner) for v, h in zip(value, items)))
    if getattr(hint, "__module__", None) == "quillmere_stub":  # a class of the stub
        return type(value).__qualname__ == hint.__qualname__
    return type(value) is hint


def registered_pipe():
    # Installing a handler is for good: a fresh interpreter does it.
    result = run_python("import _quillmere_core, signal\n"
                        "print(_quillmere_core.register_signal_pipe(signal.SIGUSR1))")
    return ast.literal_eval(result.stdout)


def test_every_return_value_has_its_stub_type():
    namespace = stub_namespace()
    new = Fresh()
    new.ipc.record_latency_us(3)
    new.sock.record_send(1, 2)
    calls = {**sample_calls(new), "register_signal_pipe": registered_pipe}
    for name, function in stub_callables().items():
        hint = typing.get_type_hints(function)["return"]
        owner = namespace.get(name.partition(".")[0])
        if hint is typing.Never:
            with pytest.raises(TypeError):
                calls[name]()
            continue
        value = calls[name]()
        assert conforms(value, hint, owner), (name, value, hint)
