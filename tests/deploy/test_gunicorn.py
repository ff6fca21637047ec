"""gunicorn, sync workers with the application preloaded, run with the settings file the
servers guide shows (examples/deploy/gunicorn.conf.py)."""
import os

from conftest import (APP_PORT, DEPLOY, can_connect, check_workers_own_signals_and_sampler,
                      interpreter, log_lines, python_path, wait_until, worker_slots)


def start_gunicorn(start, tmp_path):
    server = start("gunicorn", [
        interpreter(), "-m", "gunicorn", "-c", str(DEPLOY / "gunicorn.conf.py"),
        "--error-logfile", str(tmp_path / "error.log"), "app:application"],
        env={"PYTHONPATH": python_path()})
    # A connection without a request: the workers' counts stay at 0.
    wait_until("gunicorn listening", lambda: can_connect(APP_PORT))
    return server


def test_signals_and_sampler_are_each_workers_own(start, tmp_path):
    server = start_gunicorn(start, tmp_path)
    slots = worker_slots(server, 3)

    # SIGUSR1 is gunicorn's: the worker that takes it reopens its log files, as gunicorn's
    # own handler would. Rotate the log first; the worker's line lands in the new file.
    log, rotated = tmp_path / "error.log", tmp_path / "error.log.1"
    os.rename(log, rotated)
    check_workers_own_signals_and_sampler(server, slots, [log, rotated])
    assert [line.group(1) for line in log_lines([log], r"quillmere: worker (\d+)")] == [
        str(slots[0].pid)]
