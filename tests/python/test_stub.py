"""The type stub against the built module: stubtest, the installed layout, return types."""
import __future__
import ast
import os
import subprocess
import sys
import typing
from pathlib import Path

import pytest

import _quillmere_core as qc

from conftest import run_python
from typecheck import mypy_command

STUB = Path(__file__).resolve().parents[2] / "src" / "ipc_probe" / "_quillmere_core.pyi"

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


def stub_module():
    """The stub executed as Python, for its annotations. They name classes defined further
    down, so they are kept as strings until asked for (before 3.14 an annotation is
    evaluated where it stands)."""
    namespace = {"__name__": "quillmere_stub"}
    exec(compile(STUB.read_text(), STUB, "exec", flags=__future__.annotations.compiler_flag,
                 dont_inherit=True), namespace)
    return namespace


def stub_callables(namespace):
    """(qualified name, function) for every function, method and property getter."""
    for name in namespace["__all__"]:
        obj = namespace[name]
        if not isinstance(obj, type):
            yield name, obj
            continue
        for member_name, member in vars(obj).items():
            if isinstance(member, property):
                yield f"{name}.{member_name}", member.fget
            elif callable(member) and (member_name == "__new__" or not member_name.startswith("_")):
                yield f"{name}.{member_name}", getattr(member, "__func__", member)


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


def sample_calls():
    snapshot = qc.snapshot_resources()
    ipc, sock = qc.IpcStats("a", 4), qc.SocketStats("s", 4)
    ipc.record_latency_us(3)
    sock.record_send(1, 2)
    sampler = qc.BackgroundSampler()
    return {
        "probe_version": qc.probe_version,
        "snapshot_resources": qc.snapshot_resources,
        "list_open_fds": qc.list_open_fds,
        "register_signal_pipe": registered_pipe,
        "ResourceSnapshot.__new__": qc.ResourceSnapshot,
        **{f"ResourceSnapshot.{name}": lambda name=name: getattr(snapshot, name)
           for name in ("rss_bytes", "vms_bytes", "open_fds", "timestamp_ns")},
        "ResourceSnapshot.rss_mb": snapshot.rss_mb,
        "ResourceSnapshot.vms_mb": snapshot.vms_mb,
        "BackgroundSampler.__new__": qc.BackgroundSampler,
        "BackgroundSampler.start": lambda: sampler.start(1000),
        "BackgroundSampler.stop": sampler.stop,
        "IpcStats.__new__": lambda: qc.IpcStats("b", 0),
        "IpcStats.record_latency_us": lambda: ipc.record_latency_us(5),
        "IpcStats.record_depth": lambda: ipc.record_depth(2),
        **{f"IpcStats.{name}": getattr(ipc, name)
           for name in ("avg_latency_us", "p99_latency_us", "total_messages", "peak_depth",
                        "name", "report")},
        "SocketStats.__new__": lambda: qc.SocketStats("t", 0),
        "SocketStats.record_send": lambda: sock.record_send(10, 5),
        "SocketStats.record_recv": lambda: sock.record_recv(10, 50),
        **{f"SocketStats.{name}": getattr(sock, name)
           for name in ("bytes_sent", "bytes_recv", "peak_recv_buffer_pct",
                        "avg_send_latency_us", "name", "report")},
    }


def test_every_return_value_has_its_stub_type():
    namespace = stub_module()
    calls = sample_calls()
    stubbed = dict(stub_callables(namespace))
    assert sorted(stubbed) == sorted(calls)  # a new function needs a sample here
    for name, function in stubbed.items():
        hint = typing.get_type_hints(function)["return"]
        owner = namespace.get(name.partition(".")[0])
        if hint is typing.Never:
            with pytest.raises(TypeError):
                calls[name]()
            continue
        value = calls[name]()
        assert conforms(value, hint, owner), (name, value, hint)
