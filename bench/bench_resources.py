"""snapshot_resources() and list_open_fds() beside the same probe as a plain C++ loop
(the floor) and what a Python user would reach for (psutil, a Python listing)."""
import os

import psutil

import _quillmere_core as qc
from floors.build_floors import load as load_floors
from harness import check, measure, report


def python_list_open_fds():
    targets = []
    with os.scandir("/proc/self/fd") as entries:
        for entry in entries:
            try:
                targets.append(os.readlink(entry.path))
            except OSError:
                pass
    targets.sort(key=os.fsencode)
    return targets


def main():
    floors = load_floors()
    process = psutil.Process()

    def psutil_snapshot():
        return process.memory_info(), process.num_fds()

    # The values must agree before the times mean anything.
    snapshot, floor = qc.snapshot_resources(), floors.probe_loop()
    assert abs(snapshot.rss_bytes - floor[0]) < 8 * 2**20 and snapshot.open_fds == floor[2]
    assert len(qc.list_open_fds()) == len(floors.list_loop()) == len(python_list_open_fds())

    snapshot_timings = measure({
            "C++ loop (floor)": floors.probe_loop,
            "snapshot_resources()": qc.snapshot_resources,
            "psutil memory_info()+num_fds()": psutil_snapshot,
    })
    snapshot_ratios = report("snapshot: memory sizes, descriptor count, clock", snapshot_timings,
                             anchor="C++ loop (floor)")
    listing_timings = measure({
            "C++ loop (floor)": floors.list_loop,
            "list_open_fds()": qc.list_open_fds,
            "Python scandir+readlink": python_list_open_fds,
            "psutil open_files()": process.open_files,
    })
    listing_ratios = report("descriptor targets", listing_timings, anchor="C++ loop (floor)")
    print(
        f"\nresources: snapshot_resources() {snapshot_ratios['snapshot_resources()']:.2f}x its "
        f"C++ floor (goal <= 1.10x), list_open_fds() {listing_ratios['list_open_fds()']:.2f}x "
        "(goal <= 1.15x)"
    )
    return {
        "snapshot_ns": snapshot_timings,
        "listing_ns": listing_timings,
        "checks": [
            check("snapshot_resources() vs the same probe as a C++ loop",
                  snapshot_ratios["snapshot_resources()"], "x", 1.10),
            check("list_open_fds() vs the C++ listing", listing_ratios["list_open_fds()"], "x", 1.15),
        ],
    }


if __name__ == "__main__":
    main()
