"""The multi-worker Prometheus recipe: gunicorn with three workers, each serving its own
metrics port, scraped every second by a real Prometheus server."""
import subprocess
import time

from conftest import (METRICS_PORT, http_get, prometheus_query, request, scrape,
                      start_prometheus, wait_until, worker_slots)
from test_gunicorn import start_gunicorn

MESSAGES = "quillmere_channel_messages_total"


def totals(slots):
    """{instance label: the worker's own total}, read from each worker directly."""
    return {f"127.0.0.1:{METRICS_PORT + slot}": scrape(slot)[MESSAGES, (("channel", "requests"),)]
            for slot in slots}


def stored(expression):
    """{instance: value} of an instant query."""
    return {r["metric"].get("instance"): float(r["value"][1]) for r in prometheus_query(expression)}


def load(count):
    """`count` requests; {worker pid: requests it answered}."""
    answered = {}
    for _ in range(count):
        pid, _ = request()
        answered[pid] = answered.get(pid, 0) + 1
    return answered


def settle(slots, served):
    """Once the load has stopped: what every worker reports sums to `served`, and within
    a few scrape intervals Prometheus stores exactly what each reports."""
    truth = totals(slots)
    assert sum(truth.values()) == served
    wait_until("scrape of the final totals", lambda: stored(MESSAGES) == truth)
    assert stored(f"sum({MESSAGES})") == {None: served}
    return truth


def test_every_worker_is_scraped_and_a_restart_is_a_reset(start, tmp_path):
    server = start_gunicorn(start, tmp_path)
    slots = worker_slots(server, 3)
    begin = time.time()
    start_prometheus(start, tmp_path)
    wait_until("three targets up", lambda: stored("up == 1").keys() == set(totals(slots)))

    # Each worker's exposition is clean to promtool.
    check = subprocess.run(["promtool", "check", "metrics"], input=http_get(
        f"http://127.0.0.1:{METRICS_PORT}/metrics"), capture_output=True, text=True, timeout=60)
    assert (check.returncode, check.stdout, check.stderr) == (0, "", "")

    answered = load(300)
    truth = settle(slots, 300)
    # The busiest worker dies; gunicorn forks another into its slot, whose count starts
    # again from 0.
    victim_slot, victim = max(slots.items(), key=lambda item: answered.get(item[1].pid, 0))
    assert answered[victim.pid] > 0
    victim.kill()
    slots = wait_until("a new worker in the dead one's slot",
                       lambda: (s := worker_slots(server, 3))[victim_slot].pid != victim.pid and s)
    instance = f"127.0.0.1:{METRICS_PORT + victim_slot}"
    wait_until("scrape of the new worker",
               lambda: stored(MESSAGES).get(instance, truth[instance]) < truth[instance])

    settle(slots, 300 - answered[victim.pid] + sum(load(150).values()))
    end = time.time()
    window = f"[{int(end - begin) + 60}s]"
    assert stored(f"resets({MESSAGES}{window})") == {i: float(i == instance) for i in truth}
    rates = prometheus_query(f"rate({MESSAGES}[3s])", start=begin, end=end, step=1)
    assert {r["metric"]["instance"] for r in rates} == set(truth)
    assert min(float(v) for r in rates for _, v in r["values"]) >= 0
