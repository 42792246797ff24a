#!/usr/bin/env python3
"""Prints the benchmark results as one table of ratios.

    report.py TIMINGS.json [--memory MEMORY.json]

TIMINGS.json is Google Benchmark's JSON output of common-dto-bench,
MEMORY.json the output of common-dto-bench-memory. Every row sets a figure
beside a baseline measured in the same run; "ratio" is figure / baseline:
for speeds, our speed over the baseline's (above 1: faster than it); for
memory, the memory held over the reference size (below 1: smaller).
"""

import argparse
import json
import os
import platform
import sys

# (benchmark name, label, volume, goal) in table order. A goal is
# (comparison, value, what the ratio means for it) or None.
TIMINGS = [
    ("Bulk/M/serialize_string", "serialize to a string", "M", None),
    ("Bulk/M/serialize_array", "serialize into a preallocated array", "M", (">=", 0.8)),
    ("Bulk/M/parse_heap", "parse into a fresh message (heap)", "M", None),
    ("Bulk/M/parse_arena", "parse into a fresh message (arena)", "M", (">=", 0.8)),
    ("Bulk/M/parse_reused", "parse into a reused message", "M", (">=", 0.8)),
    ("Bulk/M/byte_size", "ByteSizeLong", "M", None),
    ("Bulk/M/deep_copy", "deep copy", "M", None),
    ("Bulk/S/serialize_string", "serialize to a string", "S", None),
    ("Bulk/S/serialize_array", "serialize into a preallocated array", "S", None),
    ("Bulk/S/parse_heap", "parse into a fresh message (heap)", "S", None),
    ("Bulk/S/parse_arena", "parse into a fresh message (arena)", "S", None),
    ("Bulk/S/parse_reused", "parse into a reused message", "S", None),
    ("Bulk/S/byte_size", "ByteSizeLong", "S", None),
    ("Bulk/S/deep_copy", "deep copy", "S", None),
    ("Stream/M/whole_volume", "stream path, whole volume", "M", (">=", 0.5)),
    ("Stream/L/sweep_by_sweep", "stream path, sweep by sweep", "L", (">=", 0.8)),
    ("Stream/M/copy_floor", "the stream path's two copies alone", "M", None),
    ("Stream/L/copy_floor", "the stream path's two copies alone, by sweep", "L", None),
    ("Nats/M/publish_to_volume", "NATS JetStream, publish to volume", "M", (">=", 0.8)),
    ("Nats/M/publish_to_volume_16", "NATS JetStream, publish to volume, 16 rays/msg", "M", None),
    ("Nats/M/fan_out_3", "NATS JetStream, fan-out to 3 durables", "M", None),
    ("Small/RayHeader/serialize_array", "RayHeader envelope: serialize", "M", None),
    ("Small/RayHeader/parse_heap", "RayHeader envelope: parse (heap)", "M", None),
    ("Small/RayHeader/parse_arena", "RayHeader envelope: parse (arena)", "M", None),
    ("Small/RayHeader/parse_reused", "RayHeader envelope: parse (reused)", "M", None),
    ("Peer/M/write_vs_hdf5", "write: serialize vs HDF5 file image", "M", (">=", 1.0)),
    ("Peer/M/read_vs_hdf5", "read: parse vs HDF5 from image", "M", (">=", 1.0)),
    ("Formats/M/write_odim", "write ODIM_H5", "M", (">=", 0.8)),
    ("Formats/M/write_odim_no_notes", "write ODIM_H5, no read-back notes", "M", None),
    ("Formats/M/read_odim", "read ODIM_H5", "M", (">=", 0.8)),
    ("Formats/M/write_cfradial1", "write CF/Radial 1.4", "M", (">=", 0.8)),
    ("Formats/M/write_cfradial1_no_notes", "write CF/Radial 1.4, no read-back notes", "M", None),
    ("Formats/M/read_cfradial1", "read CF/Radial 1.4", "M", (">=", 0.8)),
    ("Formats/M/write_cfradial2", "write CF/Radial 2.1", "M", (">=", 0.8)),
    ("Formats/M/write_cfradial2_no_notes", "write CF/Radial 2.1, no read-back notes", "M", None),
    ("Formats/M/read_cfradial2", "read CF/Radial 2.1", "M", (">=", 0.8)),
    ("Products/2000x2000/write_geotiff", "write a 2000 x 2000 product as COG", "-", (">=", 0.8)),
    ("Products/2000x2000/read_geotiff", "read a 2000 x 2000 product from COG", "-", (">=", 0.8)),
]

BASELINES = {
    "memcpy_fresh": "memcpy, fresh memory",
    "memcpy_touched": "memcpy, touched memory",
    "parse_reused": "bulk parse, reused msg",
    "parse_reused_sweeps": "bulk parse of each sweep",
    "file_path": "file: write, read, reassemble",
    "hdf5_write": "HDF5 write",
    "hdf5_read": "HDF5 read",
    "plain_write": "plain HDF5/netCDF write",
    "plain_read": "plain HDF5/netCDF read",
    "plain_gdal_write": "plain GDAL COG write",
    "plain_gdal_read": "plain GDAL read",
}

MEMORY = [
    ("parse_heap", "peak memory: parse from file (heap)", ("<=", 1.2)),
    ("parse_arena", "peak memory: parse from file (arena)", ("<=", 1.2)),
    ("parse_read_all", "peak memory: read whole file, then parse", None),
    ("stream_L", "peak memory: stream end to end, by sweep", ("<=", 3.0)),
]

# Goals that are not a ratio: (benchmark, counter, comparison, value, text).
ABSOLUTE_GOALS = {
    "Stream/M/whole_volume": ("items_per_s", ">=", 350e3, "350k rays/s"),
    "Nats/M/publish_to_volume": ("items_per_s", ">=", 15e3, "15k rays/s"),
    # 1.5 times the rates of the table of 2026-12-06 17:17 (bench/README.md).
    "Small/RayHeader/serialize_array": ("items_per_s", ">=", 16.65e6, "16.7M msg/s"),
    "Small/RayHeader/parse_heap": ("items_per_s", ">=", 4.07e6, "4.07M msg/s"),
    "Small/RayHeader/parse_arena": ("items_per_s", ">=", 5.69e6, "5.69M msg/s"),
    "Small/RayHeader/parse_reused": ("items_per_s", ">=", 4.2e6, "4.2M msg/s"),
}

# How a ratio goal reads where the ratio alone says it poorly.
GOAL_NOTES = {
    "Stream/M/whole_volume": "(time ≤ 2x parse)",
}

# Allocations per ray in the steady state, shown after the stream rows:
# the producer's should be none; the receiver's no more than copying the
# rays it delivers (their records are the output's own).
ALLOCATIONS = ["Stream/M/whole_volume", "Stream/L/sweep_by_sweep"]


def allocation_rows(name, volume, b):
    producer = b["producer_allocs_per_ray"]
    receiver = b["receiver_allocs_per_ray"]
    output = b["output_allocs_per_ray"]
    ratio = receiver / output if output else float("inf")
    return [
        ("allocations per ray: split, frame, write", volume, "%.2f" % producer, "none", "0",
         "", "0 (per ray)", "met" if producer < 0.005 else "MISSED"),
        ("allocations per ray: read, reassemble", volume, "%.2f" % receiver,
         "copying the rays delivered", "%.2f" % output, "%.2f" % ratio, "≤ 1",
         "met" if ratio <= 1.0 else "MISSED"),
    ]


def si(value, unit):
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= factor:
            return "%.3g %s%s" % (value / factor, prefix, unit)
    return "%.3g %s" % (value, unit)


def mb(value):
    return "%.1f MB" % (value / 1e6)


def meets(comparison, ratio, value):
    return ratio >= value if comparison == ">=" else ratio <= value


def load_timings(path):
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data.get("benchmarks", []):
        name = b.get("run_name", b["name"]).split("/iterations:")[0]
        name = name.split("/min_time:")[0].split("/manual_time")[0]
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") != "median":
                continue
        elif name in runs and runs[name].get("run_type") == "aggregate":
            continue
        runs[name] = b
    return data.get("context", {}), runs


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("timings")
    parser.add_argument("--memory")
    args = parser.parse_args()

    context, runs = load_timings(args.timings)
    rows = []
    for name, label, volume, goal in TIMINGS:
        b = runs.get(name)
        if b is None or "op_s" not in b:
            continue
        ratio = b["ratio"]
        baseline = BASELINES.get(b.get("label", ""), b.get("label", ""))
        if b.get("items") and (name.startswith("Stream") or name.startswith("Small")):
            unit = "rays/s" if name.startswith("Stream") else "msg/s"
            figure = si(b["items_per_s"], unit)
            base = si(b["items"] / b["base_s"], unit)
        else:
            figure = "%.0f MB/s" % b["MB_per_s"]
            base = "%.0f MB/s" % b["base_MB_per_s"]
        goal_text, status = "", ""
        checks = []
        if goal:
            checks.append(meets(goal[0], ratio, goal[1]))
            goal_text = "%s %g" % (goal[0].replace(">=", "≥").replace("<=", "≤"), goal[1])
            if name in GOAL_NOTES:
                goal_text += " " + GOAL_NOTES[name]
        if name in ABSOLUTE_GOALS:
            counter, comparison, value, text = ABSOLUTE_GOALS[name]
            checks.append(meets(comparison, b[counter], value))
            goal_text = (goal_text + ", " if goal_text else "") + "≥ " + text
        if checks:
            status = "met" if all(checks) else "MISSED"
        rows.append((label, volume, figure, baseline, base, "%.2f" % ratio, goal_text, status))
        if name in ALLOCATIONS and "producer_allocs_per_ray" in b:
            rows.extend(allocation_rows(name, volume, b))

    idle = None
    if args.memory and os.path.exists(args.memory):
        with open(args.memory) as f:
            memory = json.load(f)
        idle = memory.get("idle_peak_bytes")
        by_name = {m["name"]: m for m in memory.get("memory", [])}
        for name, label, goal in MEMORY:
            m = by_name.get(name)
            if m is None:
                continue
            ratio = m["ratio"]
            goal_text, status = "", ""
            if goal:
                goal_text = "≤ %g" % goal[1]
                status = "met" if meets(goal[0], ratio, goal[1]) else "MISSED"
            rows.append((label, m["volume"], mb(m["net_bytes"]), m["reference"],
                         mb(m["reference_bytes"]), "%.2f" % ratio, goal_text, status))

    header = ("measurement", "vol", "figure", "baseline (same run)", "baseline figure", "ratio",
              "goal", "")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

    load = context.get("load_avg") or []
    print("Machine: %s, %s CPUs, %s; %s" % (
        cpu_model(), context.get("num_cpus", "?"), platform.platform(terse=True),
        "load average %s" % " ".join("%.1f" % x for x in load) if load else "load unknown"))
    print("Build: %s (%s); protobuf %s, HDF5 %s; run %s" % (
        context.get("build_type", "?"), context.get("cxx_flags", "").strip() or "no flags",
        context.get("protobuf_runtime", "?"), context.get("hdf5", "?"), context.get("date", "?")))
    tunables_path = os.path.join(os.path.dirname(os.path.abspath(args.timings)), "tunables")
    if os.path.exists(tunables_path):
        with open(tunables_path) as f:
            print("Allocator: GLIBC_TUNABLES=%s" % (f.read().strip() or "(defaults)"))
    print()
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    print()
    print("ratio = figure / baseline. Speeds are CPU time of the measuring thread, each")
    print("operation timed alternately with its baseline. Memory rows: peak RSS of a")
    print("process of its own minus that of an idle one%s, over the reference size." %
          (" (%s)" % mb(idle) if idle else ""))
    if not rows:
        print("(no results)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
