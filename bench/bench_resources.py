"""snapshot_resources() and list_open_fds() beside what a Python user would reach for."""
import os

import psutil

import _quillmere_core as qc
from harness import measure, report


def python_list_open_fds():
    folder = "/proc/self/fd"
    targets = []
    for name in os.listdir(folder):
        try:
            targets.append(os.readlink(f"{folder}/{name}"))
        except OSError:
            pass
    targets.sort(key=os.fsencode)
    return targets


def main():
    process = psutil.Process()

    def psutil_snapshot():
        process.memory_info()
        process.num_fds()

    snapshot = report(
        "snapshot: memory sizes and descriptor count",
        measure({
            "snapshot_resources()": qc.snapshot_resources,
            "psutil memory_info()+num_fds()": psutil_snapshot,
        }),
        anchor="snapshot_resources()",
    )
    listing = report(
        "descriptor targets",
        measure({
            "list_open_fds()": qc.list_open_fds,
            "Python listdir+readlink": python_list_open_fds,
            "psutil open_files()": process.open_files,
        }),
        anchor="list_open_fds()",
    )
    print(
        f"\nresources: psutil snapshot takes {snapshot['psutil memory_info()+num_fds()']:.2f}x "
        f"snapshot_resources(); a Python listing takes {listing['Python listdir+readlink']:.2f}x "
        "list_open_fds()"
    )


if __name__ == "__main__":
    main()
