"""What the interpreter sees of the module: registration, classes, docs, type cache."""
import importlib
import importlib.util
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import weakref

import pytest

import _quillmere_core as qc

from conftest import UNDER_ASAN, UNDER_TSAN, ipc_report, run_python, stub_namespace

# Written once beside the code, in the stub: functions first, then classes, each in
# registration order.
ALL_NAMES = stub_namespace()["__all__"]


def test_all_lists_what_exists_in_registration_order():
    assert qc.__all__ == ALL_NAMES
    assert qc.__doc__ == ""
    public = {name for name in dir(qc) if not name.startswith("__")}
    assert public == set(ALL_NAMES)


def test_probe_version():
    assert qc.probe_version() == "0.1.1"
    assert qc.probe_version() is not qc.probe_version()
    assert qc.probe_version.__self__ is qc
    assert qc.probe_version.__module__ == "_quillmere_core"
    assert qc.probe_version.__text_signature__ == "()"
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        qc.probe_version(1)


def test_class_attributes():
    cls = qc.IpcStats
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == "IpcStats"
    assert cls.__text_signature__ == "(name, ring_capacity)"
    assert cls.__doc__ == ""
    assert cls.record_latency_us.__text_signature__ == "($self, us)"
    assert cls.avg_latency_us.__text_signature__ == "($self)"
    assert cls.avg_latency_us.__doc__ is None


@pytest.mark.parametrize("cls_name", ["ResourceSnapshot", "BackgroundSampler", "IpcStats", "SocketStats"])
def test_classes_cannot_be_subclassed(cls_name):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("X", (getattr(qc, cls_name),), {})


def test_weak_references_only_where_offered():
    with pytest.raises(TypeError, match="cannot create weak reference to 'builtins.ResourceSnapshot'"):
        weakref.ref(qc.snapshot_resources())
    with pytest.raises(TypeError, match="cannot create weak reference to 'builtins.BackgroundSampler'"):
        weakref.ref(qc.BackgroundSampler())


def test_instances_have_no_dict_but_the_type_is_mutable():
    stats = qc.IpcStats("a", 4)
    with pytest.raises(AttributeError):
        stats.foo = 1
    qc.IpcStats.extra = 5
    try:
        assert stats.extra == 5
    finally:
        del qc.IpcStats.extra


@pytest.mark.parametrize("cls_name", ["IpcStats", "SocketStats"])
def test_weak_references_are_cleared_on_destruction(cls_name):
    obj = getattr(qc, cls_name)("a", 4)
    ref = weakref.ref(obj)
    assert ref() is obj
    del obj
    assert ref() is None


def test_reimport_reuses_the_type_objects():
    old = qc
    del sys.modules["_quillmere_core"]
    try:
        new = importlib.import_module("_quillmere_core")
        assert new is not old
        assert new.IpcStats is old.IpcStats
        assert new.__all__ == old.__all__ and new.__all__ is not old.__all__
        assert new.probe_version is not old.probe_version
    finally:
        sys.modules["_quillmere_core"] = old


def test_only_the_init_function_is_exported():
    # Everything else stays hidden, so two extensions can never collide on a symbol.
    result = run_python(
        """
        import _quillmere_core, subprocess
        out = subprocess.run(["nm", "-D", "--defined-only", _quillmere_core.__file__],
                             capture_output=True, text=True, check=True).stdout
        print(sorted(line.split()[-1] for line in out.splitlines()))
        """
    )
    assert result.stdout.strip() == "['PyInit__quillmere_core']"


def test_the_file_name_carries_the_interpreters_suffix():
    # A plain _quillmere_core.so imports too, but claims to suit any interpreter on any
    # machine: a wheel must not hold one, and a cross build must name its target.
    assert pathlib.Path(qc.__file__).name == "_quillmere_core" + sysconfig.get_config_var("EXT_SUFFIX")


@pytest.mark.skipif(UNDER_ASAN or UNDER_TSAN, reason="sanitizer builds keep the shared C++ runtime")
def test_only_glibc_and_the_unwinder_are_taken_from_the_system():
    # libstdc++ is linked in, so the module loads beside any libstdc++, however old; from
    # the system it takes glibc, no newer than the floor the docs promise for the machine,
    # and libgcc_s's unwinder.
    headers = subprocess.run(["objdump", "-p", qc.__file__], capture_output=True,
                             text=True, check=True).stdout
    needed = re.findall(r"^ +NEEDED +(\S+)$", headers, re.MULTILINE)
    versions = re.findall(r"^ +0x\w+ 0x\w+ \d+ (\S+)$", headers, re.MULTILINE)
    assert {n for n in needed if not n.startswith("ld-linux-")} <= {
        "libc.so.6", "libm.so.6", "libpthread.so.0", "libgcc_s.so.1"}, needed
    glibc = [tuple(map(int, v.split("_")[1].split("."))) for v in versions if v.startswith("GLIBC_")]
    floor = {"x86_64": (2, 26), "aarch64": (2, 17)}[platform.machine()]
    assert glibc and max(glibc) <= floor, versions
    assert all(v.startswith(("GLIBC_", "GCC_")) for v in versions), versions


# How a function that keeps the frame-pointer chain begins: it saves the caller's frame
# pointer first, and points it at its own frame within its first few instructions (the
# compiler may schedule others in between).
FRAME_PROLOGUES = {
    "x86_64": re.compile(r"\A.*push\s+%rbp\n(?:.*\n)*.*mov\s+%rsp,%rbp"),
    "aarch64": re.compile(r"\A.*stp\s+x29, x30, \[sp, #-\d+\]!\n(?:.*\n)*.*mov\s+x29, sp"),
}


@pytest.mark.skipif(platform.machine() not in FRAME_PROLOGUES, reason="no prologue known here")
def test_the_entry_points_keep_the_frame_pointer_chain():
    # A profiler that unwinds by frame pointers (perf, eBPF samplers) walks from a sample
    # taken inside the module back into the interpreter's frames only if the module's
    # frames are linked too, as CPython's own are from 3.15.
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", qc.__file__],
                             capture_output=True, text=True, check=True).stdout
    # The compiler may schedule a few moves between the push and the link (it does under
    # ASan): the first eight instructions, up to the blank line that ends a function.
    entries = re.findall(r"^[0-9a-f]+ <(_ZN9ipc_probe2py6detail14fastcall_entry\w*)>:\n((?:.+\n){1,8})",
                         listing, re.MULTILINE)
    assert len(entries) >= 4, "the recording entry points were not found"
    prologue = FRAME_PROLOGUES[platform.machine()]
    assert [name for name, code in entries if not prologue.search(code)] == []


# Each interpreter gets classes of its own. Shared, one interpreter's method cache and
# specialised bytecode would dispatch on another's version tags (a wrong method, or a word
# of native state read as an object), and an isolated allocator would free them under the
# other interpreters. PYTHONMALLOC=debug makes a use of freed memory fail loudly.
SUBINTERPRETER_CASES = {
    "legacy": r"""
        import _interpreters, _quillmere_core as q
        q.IpcStats("m", 4).report()
        i = _interpreters.create("legacy")
        assert _interpreters.exec(
            i, "import _quillmere_core as q\nq.SocketStats('k', 2).bytes_sent()") is None
        _interpreters.destroy(i)
        q.SocketStats("k", 2).report()
    """,
    "own allocator, imported there first": r"""
        import _interpreters
        config = _interpreters.new_config("legacy", use_main_obmalloc=False,
                                          check_multi_interp_extensions=True)
        i = _interpreters.create(config)
        assert _interpreters.exec(
            i, "import _quillmere_core as q\nq.IpcStats('s', 2).record_latency_us(1)") is None
        _interpreters.destroy(i)
    """,
    # Four isolated interpreters, each with a lock of its own, recording at once. Through
    # _interpreters, which 3.13 has too (concurrent.interpreters wraps it from 3.14); its
    # exec returns what the code raised rather than raising it.
    "isolated, four at once": r"""
        import threading, _interpreters
        work = "\n".join([
            "import _quillmere_core as q",
            "s = q.IpcStats('m', 1000)",
            "for n in range(20000): s.record_latency_us(n % 100)",
            "assert (s.total_messages(), s.p99_latency_us()) == (20000, 99.0), s.report()",
            "assert q.snapshot_resources().rss_bytes > 0",
            "try: q.IpcStats('x', 2**60)",
            "except BaseException as exc: assert type(exc).__module__ == 'tessel_runtime'",
        ])
        pool = [_interpreters.create("isolated") for _ in range(4)]
        failures = []
        def run(interp):
            failure = _interpreters.exec(interp, work)
            if failure is not None:
                failures.append(failure)
        threads = [threading.Thread(target=run, args=(i,)) for i in pool]
        for t in threads: t.start()
        for t in threads: t.join()
        for i in pool: _interpreters.destroy(i)
        assert not failures, failures
    """,
}


@pytest.mark.parametrize("case", SUBINTERPRETER_CASES)
def test_every_interpreter_has_classes_of_its_own(case):
    check = """
        import _quillmere_core as q
        s = q.IpcStats("m", 4)
        s.record_latency_us(7)
        print(s.report())
    """
    result = run_python(SUBINTERPRETER_CASES[case] + check, env={"PYTHONMALLOC": "debug"})
    assert result.stdout.strip() == ipc_report("m", 1, 7, 7, 0)


# Copies of the module loaded by path into one interpreter, as packages that each vendor one
# would: more copies than CPython has exit functions, half of them loaded from threads at
# once. Each works with classes of its own and reads no other copy's objects, also in calls
# that come once the interpreter has torn its modules down.
COPIES = 150


def test_every_loaded_copy_has_classes_of_its_own(tmp_path):
    # Stripped once, then copied: each copy is a file of its own (the loader takes a link
    # for the same copy).
    copies = [tmp_path / str(n) / pathlib.Path(qc.__file__).name for n in range(COPIES)]
    copies[0].parent.mkdir()
    subprocess.run(["objcopy", "--strip-debug", qc.__file__, copies[0]], check=True)
    for copy in copies[1:]:
        copy.parent.mkdir()
        shutil.copyfile(copies[0], copy)
    result = run_python(
        f"""
        import importlib.util, os, threading, _quillmere_core as first
        def load(path):
            spec = importlib.util.spec_from_file_location("_quillmere_core", path)
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            return spec, module
        class Late:
            # Runs as the interpreter drops its fork hooks, after its modules are torn down.
            def __init__(self, n, m):
                self.n, self.snap, self.cls, self.write = n, m.snapshot_resources, m.ResourceSnapshot, os.write
            def __call__(self):
                pass
            def __del__(self, type=type):
                self.write(1, f"late {{self.n}}: {{type(self.snap()) is self.cls}}\\n".encode())
        paths = {[str(c) for c in copies]!r}
        loaded = [None] * len(paths)
        def load_into(n):
            loaded[n] = load(paths[n])
        threads = [threading.Thread(target=load_into, args=(n,)) for n in range(0, len(paths), 2)]
        for t in threads: t.start()
        for n in range(1, len(paths), 2): load_into(n)
        for t in threads: t.join()
        seen = {{first.IpcStats}}
        for n, (spec, m) in enumerate(loaded):
            assert m.IpcStats not in seen, n
            seen.add(m.IpcStats)
            assert type(m.snapshot_resources()) is m.ResourceSnapshot
            s = m.IpcStats("c", 4)
            s.record_latency_us(5)
            try:
                m.IpcStats("x", 2**60)
            except BaseException as exc:
                assert type(exc).__name__ == "PanicException", exc
            again = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(again)
            assert again.IpcStats is m.IpcStats, "re-importing a copy gives its classes"
            os.register_at_fork(before=Late(n, m))
            print(s.report())
        assert type(first.snapshot_resources()) is first.ResourceSnapshot
        """,
        # What the late calls' hooks hold is released after the main interpreter's last
        # collection, so its cycles (the Late class, and a module and its classes) stay until
        # the process ends: LeakSanitizer finds the same 12 blocks for 4 copies as for 150,
        # and none once the hooks are left out.
        env={"PYTHONMALLOC": "debug",
             **({"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
                if UNDER_ASAN else {})},
    )
    lines = result.stdout.splitlines()
    assert lines[:COPIES] == [ipc_report("c", 1, 5, 5, 0)] * COPIES
    assert sorted(lines[COPIES:]) == sorted(f"late {n}: True" for n in range(COPIES))


# A call that finds its module's state already cleared (as the collector clears a module
# object it frees) makes no class: it raises PythonFinalizationError. The clear routine is
# called through the module definition, as the collector would.
def test_calls_after_the_state_is_cleared_make_nothing():
    result = run_python(
        """
        import ctypes, importlib.util, sysconfig
        # PyModuleDef_Base: an object header (two words more without the GIL) and three.
        BASE = 7 if sysconfig.get_config_var("Py_GIL_DISABLED") else 5
        class ModuleDef(ctypes.Structure):
            _fields_ = [("base", ctypes.c_void_p * BASE), ("m_name", ctypes.c_char_p),
                        ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
                        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.c_void_p),
                        ("m_traverse", ctypes.c_void_p),
                        ("m_clear", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object))]
        get_def = ctypes.pythonapi.PyModule_GetDef
        get_def.argtypes, get_def.restype = [ctypes.py_object], ctypes.POINTER(ModuleDef)
        spec = importlib.util.find_spec("_quillmere_core")
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        definition = get_def(m).contents
        assert definition.m_name == b"_quillmere_core"
        stats = m.IpcStats("a", 4)
        assert definition.m_clear(m) == 0
        stats.record_latency_us(3)
        print(stats.report())
        for call in (m.snapshot_resources, lambda: m.IpcStats("a", 2**60),
                     lambda: stats.record_latency_us(-1)):
            try:
                call()
            except BaseException as exc:
                print(type(exc).__name__, exc, getattr(exc, "__notes__", ""))
        """
    )
    assert result.stdout.splitlines() == [
        ipc_report("a", 1, 3, 3, 0),
        "PythonFinalizationError cannot call the module at interpreter shutdown ",
        "PythonFinalizationError cannot call the module at interpreter shutdown ",
        "OverflowError can't convert negative int to unsigned [\"while processing 'us'\"]",
    ]


# A finalizer that runs after an interpreter has cleared its state dictionary (here a cycle
# that only its last collection frees) still gets each call's result, and the objects made
# for it go with the interpreter: its growth per interpreter stays that of a builtin call.
# Its calls go to the module `q` that MODULE makes; `m` is a module object to execute then.
LATE_SETUP = """
import os, sys, _imp, importlib.util, types
MODULE
class Late:
    # Bound now: by then the modules' dictionaries are cleared.
    def __del__(self, snap=q.snapshot_resources, Ipc=q.IpcStats, exec_dynamic=_imp.exec_dynamic,
                m=m, write=os.write, exc_info=sys.exc_info, hasattr=hasattr, type=type, str=str,
                len=len):
        try:
            outcome = str(CALL)
        except:
            error = exc_info()[1]
            notes = error.__notes__ if hasattr(error, "__notes__") else []
            outcome = type(error).__name__ + ": " + str(error) + " " + "|".join(notes)
            del error  # its traceback holds this frame: no cycle, nothing left to collect
        if REPORT:
            write(1, outcome.encode() + b"\\n")
    def hook(self):
        pass
late = Late()
late.me = late
os.register_at_fork(after_in_child=late.hook)
"""
IMPORTED = "import _quillmere_core as q\nm = None"
# An import whose exec routine fails midway leaves its functions and classes behind.
FAILED_EXEC = """
class Refusing(types.ModuleType):
    def __setattr__(self, name, value):
        if name == "SocketStats":
            raise MemoryError
        super().__setattr__(name, value)
spec = importlib.util.find_spec("_quillmere_core")
q = m = importlib.util.module_from_spec(spec)
q.__class__ = Refusing
try:
    spec.loader.exec_module(q)
except MemoryError:
    pass
"""
LATE_CALLS = {
    "builtin (control)": (IMPORTED, "len(())", "0"),
    "snapshot": (IMPORTED, "type(snap()).__name__", "ResourceSnapshot"),
    "conversion error": (IMPORTED, "Ipc('a', -1)", "OverflowError: can't convert negative int "
                         "to unsigned while processing 'ring_capacity'"),
    "panic": (IMPORTED, "Ipc('a', 2**60)", "PanicException: capacity overflow "),
    # What it would make, nothing would free: functions and classes hold their module.
    "exec of a module made earlier": (
        IMPORTED + "\nm = _imp.create_dynamic(importlib.util.find_spec('_quillmere_core'))",
        "exec_dynamic(m)", "PythonFinalizationError: cannot execute the module at interpreter shutdown "),
    "panic after a failed exec": (FAILED_EXEC, "Ipc('a', 2**60)", "PanicException: capacity overflow "),
}


def test_calls_during_interpreter_teardown_leave_nothing_behind():
    calls = {name: (module, call) for name, (module, call, _) in LATE_CALLS.items()}
    result = run_python(
        f"""
        import _interpreters, os
        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        def cycle(module, call, report=False):
            i = _interpreters.create(_interpreters.new_config("isolated"))
            setup = {LATE_SETUP!r}.replace("MODULE", module).replace("CALL", call)
            setup = setup.replace("REPORT", str(report))
            _interpreters.exec(i, setup)
            _interpreters.destroy(i)
        for name, (module, call) in {calls!r}.items():
            cycle(module, call, report=True)
            before = resident()
            for _ in range(20):
                cycle(module, call)
            print(name, (resident() - before) // 20 // 1024, flush=True)
        """
    )
    lines = result.stdout.splitlines()
    assert lines[0::2] == [outcome for _, _, outcome in LATE_CALLS.values()]
    growth = {name: int(kib) for name, kib in (line.rsplit(" ", 1) for line in lines[1::2])}
    control = growth.pop("builtin (control)")
    # Before, each interpreter kept a type set and its allocator's arenas: 1.7 MiB.
    assert all(kib < control + 256 for kib in growth.values()), (control, growth)


def _fresh_module():
    spec = importlib.util.find_spec("_quillmere_core")
    return spec, importlib.util.module_from_spec(spec)


def test_exec_appends_to_an_existing_all_list():
    spec, module = _fresh_module()
    module.__all__ = ["earlier"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["earlier", *ALL_NAMES]


def test_exec_refuses_an_all_that_is_not_a_list():
    spec, module = _fresh_module()
    module.__all__ = ("earlier",)
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    assert str(info.value) == "'tuple' object is not an instance of 'list'"
