"""The OpenTelemetry per-process recipe: gunicorn's workers each export their own points,
under a service.instance.id of their own. Debian's Prometheus is built without its OTLP
receiver, and Debian ships no Collector, so the points leave through the SDK's console
exporter, one line of JSON per export."""
import json

from conftest import (APP_PORT, DEPLOY, can_connect, interpreter, python_path, request,
                      wait_until)


def exports(server):
    """[(resource attributes, {metric name: [(attributes, value)]})] of every export so far."""
    found = []
    for line in server.output().splitlines():
        if not line.startswith('{"resource_metrics"'):
            continue
        for resource in json.loads(line)["resource_metrics"]:
            metrics = {metric["name"]: [(p["attributes"], p["value"])
                                        for p in metric["data"]["data_points"]]
                       for scope in resource["scope_metrics"] for metric in scope["metrics"]}
            found.append((resource["resource"]["attributes"], metrics))
    return found


def test_each_worker_exports_under_its_own_instance_id(start):
    server = start("gunicorn", [
        interpreter(), "-m", "gunicorn", "-c", str(DEPLOY / "gunicorn_otel.conf.py"),
        "app:application"], env={"PYTHONPATH": python_path(), "OTEL_METRICS_EXPORTER": "console"})
    wait_until("gunicorn listening", lambda: can_connect(APP_PORT))
    # The arbiter listens before it forks, and sleeps up to 0.1 s between forks.
    children = wait_until("three workers", lambda: len(c := server.children()) == 3 and c)
    workers = {child.pid for child in children}
    answered = {}
    for _ in range(200):
        pid, _ = request()
        answered[pid] = answered.get(pid, 0) + 1
    assert set(answered) <= workers

    def latest():
        """{pid: the request count of its last export}"""
        return {attributes["process.pid"]: value for attributes, metrics in exports(server)
                for point, value in metrics.get("quillmere.channel.messages", [])
                if point == {"quillmere.channel.name": "requests"}}
    wait_until("every worker's final count",
               lambda: latest() == {pid: answered.get(pid, 0) for pid in workers})
    # One instance id per process, all of its exports under it.
    ids = {}
    for attributes, _ in exports(server):
        ids.setdefault(attributes["process.pid"], set()).add(attributes["service.instance.id"])
    assert ids.keys() == workers
    assert len(set().union(*ids.values())) == 3 and all(len(i) == 1 for i in ids.values())
