"""Running the real servers of the deployment recipes: started on 127.0.0.1 with the files
in examples/deploy/, every wait bounded, every process they made stopped by its pid."""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

import psutil
import pytest

TOP = Path(__file__).resolve().parents[2]
DEPLOY = TOP / "examples" / "deploy"
# The ports the recipes' files name.
APP_PORT, METRICS_PORT, PROMETHEUS_PORT = 8000, 9464, 9090
# Generous: the machine may be busy with other builds.
TIMEOUT = 60


def wait_until(what, read, timeout=TIMEOUT, interval=0.1):
    """Polls `read` until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while True:
        value = read()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s (last: {value!r})")
        time.sleep(interval)


def http_get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode()


def try_get(url):
    try:
        return http_get(url)
    except OSError:
        return None


def can_connect(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    except OSError:
        return False
    return True


def listening_ports(process):
    try:
        connections = process.net_connections(kind="tcp")
    except psutil.Error:
        return set()
    return {c.laddr.port for c in connections if c.status == psutil.CONN_LISTEN}


class Server:
    """A server process and everything it forks, with its output in a file."""

    def __init__(self, name, argv, directory, env=None):
        self.name, self.log = name, directory / f"{name}.out"
        with open(self.log, "wb") as out:
            self.popen = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                cwd=DEPLOY, env={**os.environ, **(env or {})})
        self.process = psutil.Process(self.popen.pid)
        self.seen = {self.popen.pid: self.process}

    def children(self):
        """The live processes the server forked, remembered so that stop() finds them even
        after their parent is gone."""
        try:
            found = self.process.children(recursive=True)
        except psutil.NoSuchProcess:
            found = []
        for child in found:
            self.seen.setdefault(child.pid, child)
        return [c for c in found if c.is_running() and c.status() != psutil.STATUS_ZOMBIE]

    def output(self):
        return self.log.read_text(errors="replace")

    def stop(self):
        self.children()
        if self.popen.poll() is None:
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait(timeout=30)
        # psutil checks each pid's start time, so a reused pid is never hit.
        for process in self.seen.values():
            try:
                process.kill()
            except psutil.NoSuchProcess:
                pass
        psutil.wait_procs(list(self.seen.values()), timeout=30)


@pytest.fixture
def start(tmp_path):
    """start(name, argv, env=None) -> Server, stopped at the end of the test."""
    servers = []

    def starter(name, argv, env=None):
        servers.append(Server(name, argv, tmp_path, env))
        return servers[-1]
    yield starter
    for server in reversed(servers):
        server.stop()
        # Shown with a failure's report.
        print(f"--- the end of {server.name}'s output", *server.output().splitlines()[-30:],
              sep="\n")


def python_path(*extra):
    return os.pathsep.join([*map(str, extra), str(DEPLOY), str(TOP / "examples"),
                            *filter(None, [os.environ.get("PYTHONPATH")])])


def worker_slots(server, count):
    """{slot: worker process} once `count` workers each listen on their metrics port."""
    def read():
        slots = {}
        for child in server.children():
            for port in listening_ports(child) & set(range(METRICS_PORT, METRICS_PORT + count)):
                slots[port - METRICS_PORT] = child
        return slots if len(slots) == count else None
    return wait_until(f"{count} workers on their metrics ports", read)


def scrape(slot):
    """{(name, labels as a tuple of pairs): value} of a worker's own /metrics."""
    from prometheus_client.parser import text_string_to_metric_families
    text = http_get(f"http://127.0.0.1:{METRICS_PORT + slot}/metrics")
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def request(path="/"):
    """(worker pid, its total) as the application answers."""
    pid, total = http_get(f"http://127.0.0.1:{APP_PORT}{path}", timeout=30).split()
    return int(pid), int(total)


def prometheus_query(expression, **params):
    query = urllib.parse.urlencode({"query": expression, **params})
    endpoint = "query_range" if "start" in params else "query"
    reply = json.loads(http_get(f"http://127.0.0.1:{PROMETHEUS_PORT}/api/v1/{endpoint}?{query}"))
    assert reply["status"] == "success", reply
    return reply["data"]["result"]


def start_prometheus(start, tmp_path, *flags):
    server = start("prometheus", [
        "prometheus", f"--config.file={DEPLOY / 'prometheus.yml'}",
        f"--storage.tsdb.path={tmp_path / 'tsdb'}",
        f"--web.listen-address=127.0.0.1:{PROMETHEUS_PORT}", *flags])
    wait_until("ready Prometheus", lambda: try_get(f"http://127.0.0.1:{PROMETHEUS_PORT}/-/ready"))
    return server


def log_lines(paths, pattern):
    """The matches of `pattern` in the lines of the files, as match objects."""
    return [m for path in map(Path, paths) if path.exists()
            for line in path.read_text(errors="replace").splitlines()
            if (m := re.search(pattern, line))]


def interpreter():
    return sys.executable


def check_workers_own_signals_and_sampler(server, slots, logs):
    """SIGUSR1 (the server's) to the worker in slot 0 and SIGRTMIN + 1 (free) to the one in
    slot 1 reach those workers' pipes, each logging one line; a burst made in one worker
    shows in its sampler's peak only."""
    for slot, number in [(0, signal.SIGUSR1), (1, signal.SIGRTMIN + 1)]:
        slots[slot].send_signal(number)
        pattern = rf"quillmere: worker (\d+), slot {slot}: {signal.strsignal(number)} \(x1\)"
        [line] = wait_until(f"log line of slot {slot}", lambda: log_lines(logs, pattern))
        assert int(line.group(1)) == slots[slot].pid
    # No other worker took either signal, and none died of one (the default action of
    # either ends the process).
    assert len(log_lines(logs, r"quillmere: worker")) == 2
    assert sorted(c.pid for c in server.children()) == sorted(p.pid for p in slots.values())

    pid, _ = request("/burst?mib=64")
    for slot, process in slots.items():
        metrics = scrape(slot)
        rise = (metrics["quillmere_resident_memory_peak_bytes", ()]
                - metrics["quillmere_resident_memory_bytes", ()])
        assert (rise > 60 * 2**20) == (process.pid == pid), (slot, rise)
