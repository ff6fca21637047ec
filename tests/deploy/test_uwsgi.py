"""uWSGI, workers forked from a master that loaded the application, run with
examples/deploy/uwsgi.ini as the servers guide shows it."""
import sys
from pathlib import Path

import pytest

from conftest import (APP_PORT, DEPLOY, can_connect, check_workers_own_signals_and_sampler,
                      python_path, request, wait_until, worker_slots)

PLUGIN = Path("/usr/lib/uwsgi/plugins/python3_plugin.so")
# Debian builds the plugin for its default interpreter only.
pytestmark = pytest.mark.skipif(
    not PLUGIN.exists()
    or f"libpython{sys.version_info.major}.{sys.version_info.minor}".encode()
    not in PLUGIN.read_bytes(), reason=f"no uWSGI python3 plugin for {sys.version.split()[0]}")


def test_signals_and_sampler_are_each_workers_own(start):
    server = start("uwsgi", ["uwsgi", "--ini", str(DEPLOY / "uwsgi.ini")],
                   env={"PYTHONPATH": python_path()})
    wait_until("uWSGI listening", lambda: can_connect(APP_PORT))
    slots = worker_slots(server, 3)
    # A pipe for a signal uWSGI owns comes with a worker's first request.
    answered = set()
    wait_until("a request answered by every worker",
               lambda: answered.add(request()[0]) or answered == {p.pid for p in slots.values()})

    check_workers_own_signals_and_sampler(server, slots, [server.log])
