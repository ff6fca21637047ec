# gunicorn settings: in each worker a peak sampler, a Prometheus port of its own, and
# signal pipes read by a thread. From this folder, with examples/ on PYTHONPATH:
#     gunicorn -c gunicorn.conf.py app:application
import itertools
import os
import select
import signal
import threading

from prometheus_client import CollectorRegistry, start_http_server

import _quillmere_core as qc
from app import REQUESTS
from prometheus_exporter import QuillmereCollector

bind = "127.0.0.1:8000"
workers = 3
worker_class = "sync"
preload_app = True

# The worker in slot i serves its metrics on 127.0.0.1:METRICS_PORT + i. A worker that
# replaces a dead one takes its slot, so Prometheus keeps one target per slot.
METRICS_PORT = 9464
# Each delivery to a worker makes it log its figures. SIGUSR1 is gunicorn's (its workers
# reopen their log files on it), so taking it means doing that too; SIGRTMIN + 1 is free.
SIGNALS = (signal.SIGUSR1, signal.SIGRTMIN + 1)


def pre_fork(server, worker):
    # In the master, before the fork: the lowest slot no live worker holds.
    taken = {other.quillmere_slot for other in server.WORKERS.values()}
    worker.quillmere_slot = next(i for i in itertools.count() if i not in taken)


def post_worker_init(worker):
    # Not post_fork: the worker resets and installs its own signal handlers after that
    # hook, which would silence a pipe registered there for a signal gunicorn owns.
    registry = CollectorRegistry()
    collector = QuillmereCollector(peak_interval_ms=10)  # the sampler runs in this worker
    collector.register(REQUESTS)
    registry.register(collector)
    start_http_server(METRICS_PORT + worker.quillmere_slot, addr="127.0.0.1",
                      registry=registry)
    pipes = {qc.register_signal_pipe(number)[0]: number for number in SIGNALS}
    threading.Thread(target=log_on_signal, args=(worker, pipes), name="quillmere-signals",
                     daemon=True).start()


def log_on_signal(worker, pipes):
    while True:
        for fd in select.select(list(pipes), [], [])[0]:
            deliveries = len(os.read(fd, 4096))  # one byte each; close ones may merge
            if pipes[fd] == signal.SIGUSR1:
                worker.log.reopen_files()
            worker.log.info("quillmere: worker %d, slot %d: %s (x%d): %s", os.getpid(),
                            worker.quillmere_slot, signal.strsignal(pipes[fd]), deliveries,
                            REQUESTS.report())
