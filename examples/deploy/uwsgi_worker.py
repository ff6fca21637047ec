"""uWSGI's counterpart of gunicorn.conf.py: in each worker a peak sampler, a Prometheus
port of its own and signal pipes read by a thread. uwsgi.ini serves `application` from
here, the application of app.py with the worker's setup around it."""
import os
import select
import signal
import threading

import uwsgi
from prometheus_client import CollectorRegistry, start_http_server
from uwsgidecorators import postfork

import _quillmere_core as qc
import app
from prometheus_exporter import QuillmereCollector

# Worker i (uWSGI counts from 1, and a respawned worker keeps its number) serves its
# metrics on 127.0.0.1:METRICS_PORT + i - 1.
METRICS_PORT = 9464
# Each delivery to a worker makes it log its figures. SIGRTMIN + 1 is free. SIGUSR1 is
# uWSGI's (its workers print their statistics on it), and a worker installs its handlers
# after @postfork has run, so a pipe for it is registered at the worker's first request.
FREE_SIGNALS = (signal.SIGRTMIN + 1,)
OWNED_SIGNALS = (signal.SIGUSR1,)
_owned_registered = False


@postfork
def start_quillmere():
    registry = CollectorRegistry()
    collector = QuillmereCollector(peak_interval_ms=10)  # the sampler runs in this worker
    collector.register(app.REQUESTS)
    registry.register(collector)
    start_http_server(METRICS_PORT + uwsgi.worker_id() - 1, addr="127.0.0.1",
                      registry=registry)
    log_on_signals(FREE_SIGNALS)


def application(environ, start_response):
    global _owned_registered
    if not _owned_registered:  # each worker starts with the master's False
        _owned_registered = True
        log_on_signals(OWNED_SIGNALS)
    return app.application(environ, start_response)


def log_on_signals(numbers):
    pipes = {qc.register_signal_pipe(number)[0]: number for number in numbers}
    threading.Thread(target=log_on_signal, args=(pipes,), name="quillmere-signals",
                     daemon=True).start()


def log_on_signal(pipes):
    while True:
        for fd in select.select(list(pipes), [], [])[0]:
            deliveries = len(os.read(fd, 4096))  # one byte each; close ones may merge
            print(f"quillmere: worker {os.getpid()}, slot {uwsgi.worker_id() - 1}: "
                  f"{signal.strsignal(pipes[fd])} (x{deliveries}): {app.REQUESTS.report()}",
                  flush=True)
