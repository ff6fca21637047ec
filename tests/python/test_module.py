"""What the interpreter sees of the module: registration, classes, docs, type cache."""
import importlib
import importlib.util
import re
import subprocess
import sys
import weakref

import pytest

import _quillmere_core as qc

from conftest import UNDER_ASAN, run_python

# Functions first, then classes, each in registration order.
ALL_NAMES = [
    "probe_version",
    "snapshot_resources",
    "list_open_fds",
    "register_signal_pipe",
    "ResourceSnapshot",
    "BackgroundSampler",
    "IpcStats",
    "SocketStats",
]


def test_all_lists_what_exists_in_registration_order():
    assert qc.__all__ == ALL_NAMES
    assert qc.__doc__ == ""
    public = {name for name in dir(qc) if not name.startswith("__")}
    assert public == set(ALL_NAMES)


def test_probe_version():
    assert qc.probe_version() == "0.1.1"
    assert qc.probe_version() is not qc.probe_version()
    assert qc.probe_version.__self__ is None
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


@pytest.mark.skipif(UNDER_ASAN, reason="sanitizer builds keep the shared C++ runtime")
def test_only_glibc_and_the_unwinder_are_taken_from_the_system():
    # libstdc++ is linked in, so the module loads beside any libstdc++, however old; from
    # the system it takes glibc (no version above 2.28) and libgcc_s's unwinder.
    headers = subprocess.run(["objdump", "-p", qc.__file__], capture_output=True,
                             text=True, check=True).stdout
    needed = re.findall(r"^ +NEEDED +(\S+)$", headers, re.MULTILINE)
    versions = re.findall(r"^ +0x\w+ 0x\w+ \d+ (\S+)$", headers, re.MULTILINE)
    assert {n for n in needed if not n.startswith("ld-linux-")} <= {
        "libc.so.6", "libm.so.6", "libpthread.so.0", "libgcc_s.so.1"}, needed
    glibc = [tuple(map(int, v.split("_")[1].split("."))) for v in versions if v.startswith("GLIBC_")]
    assert glibc and max(glibc) <= (2, 28), versions
    assert all(v.startswith(("GLIBC_", "GCC_")) for v in versions), versions


# Each interpreter gets classes of its own. Shared, one interpreter's method cache and
# specialised bytecode would dispatch on another's version tags (a wrong method, or a word
# of native state read as an object), and an isolated allocator would free them under the
# other interpreters. PYTHONMALLOC=debug makes a use of freed memory fail loudly.
SUBINTERPRETER_CASES = {
    "legacy": r"""
        import _interpreters, _quillmere_core as q
        q.IpcStats("m", 4).report()
        i = _interpreters.create("legacy")
        _interpreters.exec(i, "import _quillmere_core as q\nq.SocketStats('k', 2).bytes_sent()")
        _interpreters.destroy(i)
        q.SocketStats("k", 2).report()
    """,
    "own allocator, imported there first": r"""
        import _interpreters
        config = _interpreters.new_config("legacy", use_main_obmalloc=False,
                                          check_multi_interp_extensions=True)
        i = _interpreters.create(config)
        _interpreters.exec(i, "import _quillmere_core as q\nq.IpcStats('s', 2).record_latency_us(1)")
        _interpreters.destroy(i)
    """,
    # Four isolated interpreters, each with a lock of its own, recording at once.
    "isolated, four at once": r"""
        import threading
        from concurrent import interpreters
        work = "\n".join([
            "import _quillmere_core as q",
            "s = q.IpcStats('m', 1000)",
            "for n in range(20000): s.record_latency_us(n % 100)",
            "assert (s.total_messages(), s.p99_latency_us()) == (20000, 99.0), s.report()",
            "assert q.snapshot_resources().rss_bytes > 0",
            "try: q.IpcStats('x', 2**60)",
            "except BaseException as exc: assert type(exc).__module__ == 'tessel_runtime'",
        ])
        pool = [interpreters.create() for _ in range(4)]
        failures = []
        def run(interp):
            try:
                interp.exec(work)
            except Exception as exc:
                failures.append(exc)
        threads = [threading.Thread(target=run, args=(i,)) for i in pool]
        for t in threads: t.start()
        for t in threads: t.join()
        for i in pool: i.close()
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
    assert result.stdout.strip() == "m: 1 msgs | avg 7.0µs | p99 7.0µs | peak depth 0"


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
