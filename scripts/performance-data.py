#!/usr/bin/env python3
"""performance-data.py RESULTS.json OUTDIR: takes the medians that
docs/performance.svg shows from udp_bench's JSON output and writes them as
gnuplot data: receive.dat (CPU per datagram of each receive path) and
drain.dat (datagrams drained per second by workers, library and bare)."""
import json
import sys


def medians(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    found = {}
    for run in runs:
        name = run["name"]
        if run.get("aggregate_name") == "median":
            found[name[: -len("_median")]] = run
        elif run.get("run_type") == "iteration":
            found.setdefault(name, run)
    return found


def main():
    results, out = medians(sys.argv[1]), sys.argv[2]
    paths = [
        ("bare recvfrom", "BM_BurstBare/real_time"),
        ("bare recvmmsg", "BM_BurstBareBatch/real_time"),
        ("bare coalescing", "BM_TrainBareCoalescing/256/64/real_time"),
        ("Dravik, 1,024 B", "BM_BurstLibrary/real_time"),
        ("Dravik, trains", "BM_TrainLibrary/256/64/real_time"),
    ]
    missing = [name for _, name in paths if name not in results]
    for workers in (1, 2):
        for kind in ("Library", "Bare"):
            name = f"BM_Drain{kind}/{workers}/manual_time"
            if name not in results:
                missing.append(name)
    if missing:
        sys.exit("not in this run, no picture: " + ", ".join(missing))
    with open(f"{out}/receive.dat", "w") as f:
        for label, name in paths:
            f.write(f'"{label}" {results[name]["cpu_ns_per_dgram"]:.1f}\n')
    with open(f"{out}/drain.dat", "w") as f:
        for workers in (1, 2):
            library = results[f"BM_DrainLibrary/{workers}/manual_time"]["items_per_second"]
            bare = results[f"BM_DrainBare/{workers}/manual_time"]["items_per_second"]
            f.write(f"{workers} {library / 1e6:.3f} {bare / 1e6:.3f}\n")


main()
