"""An application that embeds CPython: two runtimes in one process (tests/embed)."""
import os
import pathlib
import subprocess

import pytest

import _quillmere_core as qc

from conftest import UNDER_ASAN

EMBED = pathlib.Path(qc.__file__).parent / "tests/embed"


def embedding_program():
    # Built with the native tests, where the interpreter's embedding library is to be had;
    # where it is not, the build leaves the reason.
    if not EMBED.parent.is_dir():
        pytest.skip("this build has no native tests (QUILLMERE_BUILD_TESTS=OFF)")
    if (EMBED / "unavailable.txt").exists():
        pytest.skip((EMBED / "unavailable.txt").read_text().strip())
    return EMBED / "runtime_restart"


OWN_CLASSES = [f"runtime {n}: class of runtime {n}, the module's own: True" for n in (1, 2)]


# The first runtime's module object is kept past its Py_Finalize. A call that comes after
# the second runtime's interpreter has torn its modules down gets that runtime's classes,
# never the first one's: both runtimes number their interpreters alike.
@pytest.mark.parametrize("args, expected", [
    (["main"], OWN_CLASSES),
    (["isolated"], OWN_CLASSES),
    # Nothing of the module depends on the runtime's exit functions.
    (["main", "exit-functions-taken"], OWN_CLASSES),
])
def test_late_calls_after_a_runtime_restart_get_that_runtimes_classes(args, expected):
    env = dict(os.environ)
    if UNDER_ASAN:  # the kept module object is never freed, by design
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    result = subprocess.run([embedding_program(), *args], capture_output=True, text=True,
                            timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected
