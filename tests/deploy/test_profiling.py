"""What the profiling page promises for the module's own frames, under Debian's perf with
the software clock (a virtual machine may offer no hardware events)."""
import re
import subprocess
import sys
import sysconfig

import pytest

# The p99 path: its frames hold 8 and 16 KiB of stack, the cost of a copy-free selection.
WORKLOAD = """
import time
import _quillmere_core as qc
stats = qc.IpcStats("p", 65536)
for i in range(65536):
    stats.record_latency_us(i * 7919 % 100003)
def p99_for(seconds):
    end = time.process_time() + seconds  # CPU time: as many samples on a busy machine
    while time.process_time() < end:
        stats.p99_latency_us()
p99_for(1)
"""
INTERPRETER_KEEPS_FRAME_POINTERS = "-fno-omit-frame-pointer" in " ".join(
    str(sysconfig.get_config_var(name)) for name in ("CFLAGS", "CONFIGURE_CFLAGS"))
MODULE = "_quillmere_core"


def profile(tmp_path, call_graph, *python_options):
    """The call chains (leaf first, each frame a (symbol, object) pair) of the samples
    taken in the module's own code."""
    data = tmp_path / "perf.data"
    subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "499", "--call-graph",
                    call_graph, "-o", data, sys.executable, *python_options, "-c", WORKLOAD],
                   check=True, timeout=300, capture_output=True)
    script = subprocess.run(["perf", "script", "--no-inline", "-i", data, "-F", "ip,sym,dso"],
                            check=True, timeout=300, capture_output=True, text=True).stdout
    chains = [[(m.group(1), m.group(2)) for line in sample.splitlines()
               if (m := re.fullmatch(r"\s*[0-9a-f]+ (.*) \((.*)\)", line))]
              for sample in script.split("\n\n")]
    return [c for c in chains if c and MODULE in c[0][1] and "ipc_probe" in c[0][0]]


def caller_of_module(chain):
    """The object of the frame that called the module's outermost frame, or None."""
    outermost = max(i for i, (_, where) in enumerate(chain) if MODULE in where)
    return chain[outermost + 1][1] if outermost + 1 < len(chain) else None


def share(chains, keep):
    return sum(map(keep, chains)) / len(chains)


@pytest.mark.parametrize("call_graph, python_options", [
    ("fp", ["-X", "perf"]), ("dwarf,65528", [])])
def test_chains_leave_the_module_through_the_interpreter(tmp_path, call_graph, python_options):
    chains = profile(tmp_path, call_graph, *python_options)
    assert len(chains) >= 20
    # The module keeps its frame pointers: past its own frames lies the interpreter's.
    assert share(chains, lambda c: "python3" in (caller_of_module(c) or "")) >= 0.95
    # Whole chains where the interpreter's frames can be unwound too.
    if call_graph != "fp" or INTERPRETER_KEEPS_FRAME_POINTERS:
        assert share(chains, lambda c: any(s == "Py_RunMain" for s, _ in c)) >= 0.95
    if "perf" in python_options:
        # The Python functions' names come from the interpreter's /tmp/perf-PID.map.
        assert share(chains, lambda c: any(symbol == "py::p99_for:<string>" and where.startswith(
            "/tmp/perf-") for symbol, where in c)) >= 0.95


def test_dwarfs_default_copy_cuts_the_p99_path(tmp_path):
    chains = profile(tmp_path, "dwarf")
    assert len(chains) >= 20
    assert share(chains, lambda c: caller_of_module(c) is None) >= 0.5
