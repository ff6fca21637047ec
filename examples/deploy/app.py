"""The WSGI application of the deployment recipes (docs/guide/servers.rst): it records
each request into an IpcStats, and makes a burst of memory on demand.

    GET /             records the request; answers "PID TOTAL", TOTAL being this
                      worker's count of requests
    GET /burst?mib=N  holds N MiB (default 64) for a second, then answers the same
"""
import os
import time
from urllib.parse import parse_qs

import _quillmere_core as qc

# Made at import, in the master when the server preloads the application: every worker
# starts from a copy of it and counts its own requests.
REQUESTS = qc.IpcStats("requests", ring_capacity=4096)


def application(environ, start_response):
    started = time.perf_counter_ns()
    if environ["PATH_INFO"] == "/burst":
        mib = int(parse_qs(environ["QUERY_STRING"]).get("mib", ["64"])[0])
        burst = b"x" * (mib * 2**20)  # every page written, so all of it is resident
        time.sleep(1)  # many times the sampler's interval
        del burst
    REQUESTS.record_latency_us((time.perf_counter_ns() - started) // 1000)
    body = f"{os.getpid()} {REQUESTS.total_messages()}\n".encode()
    start_response("200 OK", [("Content-Type", "text/plain"),
                              ("Content-Length", str(len(body)))])
    return [body]
