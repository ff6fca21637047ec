"""snapshot_resources(), list_open_fds() and ResourceSnapshot."""
import os
import time

import pytest

import _quillmere_core as qc

from conftest import run_python


def status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise AssertionError(key)


def test_snapshot_matches_the_status_file_and_the_clock():
    before = time.time_ns()
    snapshot = qc.snapshot_resources()
    after = time.time_ns()
    assert before <= snapshot.timestamp_ns <= after
    # Memory moves a little between two readings; the units must not.
    assert abs(snapshot.rss_bytes - status_kib("VmRSS") * 1024) < 16 * 2**20
    assert abs(snapshot.vms_bytes - status_kib("VmSize") * 1024) < 64 * 2**20
    assert snapshot.rss_bytes % 1024 == 0 and snapshot.vms_bytes % 1024 == 0
    assert snapshot.rss_mb() == snapshot.rss_bytes / 2**20
    assert snapshot.vms_mb() == snapshot.vms_bytes / 2**20


def test_representation():
    snapshot = qc.snapshot_resources()
    # Python's own formatting rounds the exact value half to even, as the module must.
    assert repr(snapshot) == (
        f"ResourceSnapshot(rss={snapshot.rss_mb():.1f}MB, vms={snapshot.vms_mb():.1f}MB, "
        f"fds={snapshot.open_fds})"
    )
    assert str(snapshot) == repr(snapshot)


def test_snapshot_is_an_immutable_value_compared_by_identity():
    first, second = qc.snapshot_resources(), qc.snapshot_resources()
    assert first != second and first == first
    assert hash(first) != hash(second)
    for attribute in ("rss_bytes", "vms_bytes", "open_fds", "timestamp_ns"):
        with pytest.raises(AttributeError, match="is not writable"):
            setattr(first, attribute, 1)
        with pytest.raises(AttributeError):
            delattr(first, attribute)
    with pytest.raises(AttributeError):
        first.other = 1


def test_class_surface():
    cls = qc.ResourceSnapshot
    assert cls.__doc__ == (
        "Byte-level resource usage of this process at a single instant.\n"
        "Timestamps are Unix nanoseconds so callers can compute deltas."
    )
    assert cls.rss_mb.__text_signature__ == "($self)"
    assert qc.snapshot_resources.__text_signature__ == "()"
    assert qc.list_open_fds.__text_signature__ == "()"
    with pytest.raises(TypeError, match="cannot create 'builtins.ResourceSnapshot' instances"):
        cls()
    with pytest.raises(TypeError):
        qc.snapshot_resources(1)
    with pytest.raises(TypeError):
        qc.list_open_fds(None)


def test_descriptor_counts_include_the_listing_itself():
    result = run_python(
        """
        import os, _quillmere_core as qc
        assert sorted(os.listdir("/proc/self/fd")) == ["0", "1", "2", "3"]  # 3: that listing
        print(qc.snapshot_resources().open_fds)
        nulls = qc.list_open_fds().count("/dev/null")
        for _ in range(3):
            os.open("/dev/null", os.O_RDONLY)
        print(qc.snapshot_resources().open_fds)
        targets = qc.list_open_fds()
        print(len(targets), targets.count("/dev/null") - nulls, targets.count(f"/proc/{os.getpid()}/fd"))
        print(targets == sorted(targets, key=os.fsencode))
        """
    )
    assert result.stdout.split("\n")[:4] == ["4", "7", "7 3 1", "True"]


def test_non_utf8_link_targets_are_repaired():
    result = run_python(
        """
        import os, tempfile, _quillmere_core as qc
        folder = tempfile.mkdtemp()
        path = os.path.join(os.fsencode(folder), b"caf\\xe9")
        fd = os.open(path, os.O_CREAT | os.O_RDWR)
        targets = [t for t in qc.list_open_fds() if t.startswith(folder)]
        os.close(fd); os.unlink(path); os.rmdir(folder)
        print(ascii(targets[0][len(folder):]))
        """
    )
    assert result.stdout.strip() == ascii("/caf\ufffd")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to mount over /proc/self/fd")
def test_unreadable_descriptor_directory_is_a_runtime_error():
    result = run_python(
        """
        import ctypes, os, tempfile
        libc = ctypes.CDLL(None, use_errno=True)
        MS_BIND, MS_REC, MS_PRIVATE = 4096, 16384, 1 << 18
        os.unshare(os.CLONE_NEWNS)
        libc.mount(b"none", b"/proc", None, MS_REC | MS_PRIVATE, None)  # keep it to ourselves
        blocked = tempfile.mkdtemp()
        os.chmod(blocked, 0)
        target = f"/proc/{os.getpid()}/fd".encode()
        assert libc.mount(blocked.encode(), target, None, MS_BIND, None) == 0, ctypes.get_errno()
        os.setresgid(65534, 65534, 65534)
        os.setresuid(65534, 65534, 65534)  # no longer allowed into the mode-0 directory

        import _quillmere_core as qc
        for probe in (qc.snapshot_resources, qc.list_open_fds):
            try:
                probe()
            except RuntimeError as exc:
                print(type(exc).__name__, exc.args)
        """
    )
    expected = "RuntimeError ('cannot read /proc/self/fd: Permission denied (os error 13)',)"
    assert result.stdout.splitlines() == [expected, expected]


@pytest.mark.parametrize(
    "name",
    [
        "мониторинг.py".encode(),  # the kernel keeps 15 bytes: cut inside a character
        "café".encode("latin-1"),
        b"VmRSS:\t1 kB",
        b"\nVmRSS:\t1 kB",  # the kernel escapes the line feed
    ],
)
def test_any_process_name_leaves_the_snapshot_whole(name):
    result = run_python(
        f"""
        import time, _quillmere_core as qc
        with open("/proc/self/comm", "wb") as comm:
            comm.write({name!r})
        with open("/proc/self/status", "rb") as status:
            print(status.readline().hex())
        sampler = qc.BackgroundSampler()
        sampler.start(1)
        time.sleep(0.05)
        snapshot = qc.snapshot_resources()
        print(snapshot.rss_bytes > 2**20, snapshot.vms_bytes > 2**20, sampler.stop() > 2**20)
        """
    )
    status_name, figures = result.stdout.splitlines()
    assert bytes.fromhex(status_name).startswith(b"Name:\t" + name[:4].replace(b"\n", b"\\n"))
    assert figures == "True True True"
