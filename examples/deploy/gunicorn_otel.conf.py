# gunicorn settings: each worker exports its own metrics, under a service.instance.id of
# its own, over OTLP/HTTP (or, with OTEL_METRICS_EXPORTER=console, as one line of JSON per
# export on standard output). From this folder, with examples/ on PYTHONPATH:
#     gunicorn -c gunicorn_otel.conf.py app:application
import os
import uuid

from opentelemetry.exporter.otlp.proto.http.metric_exporter import OTLPMetricExporter
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import (ConsoleMetricExporter, MetricExporter,
                                              PeriodicExportingMetricReader)
from opentelemetry.sdk.resources import Resource

from app import REQUESTS
from opentelemetry_metrics import QuillmereMetrics

bind = "127.0.0.1:8000"
workers = 3
worker_class = "sync"
preload_app = True


def metric_exporter() -> MetricExporter:
    if os.environ.get("OTEL_METRICS_EXPORTER") == "console":
        return ConsoleMetricExporter(formatter=lambda data: data.to_json(indent=None) + "\n")
    # To $OTEL_EXPORTER_OTLP_METRICS_ENDPOINT, by default a Collector's
    # http://localhost:4318/v1/metrics.
    return OTLPMetricExporter()


def post_worker_init(worker):
    # After the fork: the reader's export thread would not survive it, and the resource
    # names this process: a fresh id per worker start, as the semantic conventions ask.
    resource = Resource.create({"service.name": "app", "service.instance.id": str(uuid.uuid4()),
                                "process.pid": os.getpid()})
    reader = PeriodicExportingMetricReader(metric_exporter(), export_interval_millis=1000)
    provider = MeterProvider(metric_readers=[reader], resource=resource)
    metrics = QuillmereMetrics(provider.get_meter("app"), peak_interval_ms=10)
    metrics.register(REQUESTS)
    worker.quillmere_meter_provider = provider  # kept alive with the worker
