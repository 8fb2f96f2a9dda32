#!/usr/bin/env python3
"""Per-kernel figures from a cycle-level simulator log (one harness run).

The simulator prints a block of statistics after every kernel launch. Per-launch values
(gpu_sim_cycle, gpu_sim_insn) are taken as they stand; the shared-memory bank conflicts and the
warp occupancy distribution are totals since the start of the run, so each launch gets the
difference from the launch before. Launches of the same kernel are summed.

Usage: report.py SIM_LOG [--json]
"""
import json
import re
import sys


def parse(path):
    launches = []
    current = None
    last_conflicts = 0
    last_warps = {}
    with open(path, errors="replace") as log:
        for line in log:
            line = line.rstrip("\n")
            m = re.match(r"^kernel_name = (\S+)", line)
            if m:
                current = {"kernel": m.group(1), "cycles": 0, "insn": 0, "conflicts": 0,
                           "warps": {}}
                launches.append(current)
                continue
            if current is None:
                continue
            m = re.match(r"^gpu_sim_cycle = (\d+)", line)
            if m:
                current["cycles"] = int(m.group(1))
                continue
            m = re.match(r"^gpu_sim_insn = (\d+)", line)
            if m:
                current["insn"] = int(m.group(1))
                continue
            m = re.match(r"^gpgpu_n_shmem_bkconflict = (\d+)", line)
            if m:
                total = int(m.group(1))
                current["conflicts"] = total - last_conflicts
                last_conflicts = total
                continue
            if line.startswith("Stall:") and "W1:" in line:
                totals = {}
                for key, value in re.findall(r"(W\d+):(\d+)", line):
                    if key != "W0":
                        totals[int(key[1:])] = int(value)
                current["warps"] = {k: v - last_warps.get(k, 0) for k, v in totals.items()}
                last_warps = totals
    return launches


def summarise(launches):
    kernels = {}
    order = []
    for launch in launches:
        k = kernels.get(launch["kernel"])
        if k is None:
            k = {"kernel": launch["kernel"], "launches": 0, "cycles": 0, "insn": 0,
                 "conflicts": 0, "warps": {}}
            kernels[launch["kernel"]] = k
            order.append(launch["kernel"])
        k["launches"] += 1
        k["cycles"] += launch["cycles"]
        k["insn"] += launch["insn"]
        k["conflicts"] += launch["conflicts"]
        for lanes, n in launch["warps"].items():
            k["warps"][lanes] = k["warps"].get(lanes, 0) + n
    out = []
    for name in order:
        k = kernels[name]
        issued = sum(k["warps"].values())
        lanes = sum(l * n for l, n in k["warps"].items())
        quarters = [sum(n for l, n in k["warps"].items() if lo <= l <= lo + 7)
                    for lo in (1, 9, 17, 25)]
        k["ipc"] = k["insn"] / k["cycles"] if k["cycles"] else 0.0
        k["simd_efficiency"] = lanes / (32.0 * issued) if issued else None
        k["occupancy_quarters"] = [q / issued if issued else 0.0 for q in quarters]
        del k["warps"]
        out.append(k)
    return out


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    rows = summarise(parse(sys.argv[1]))
    if not rows:
        sys.exit("report: no kernel statistics in " + sys.argv[1])
    if "--json" in sys.argv[2:]:
        print(json.dumps(rows))
        return
    print("  %-26s %8s %12s %14s %7s %10s %6s  %s" %
          ("kernel", "launches", "cycles", "thread-insn", "IPC", "bank-confl", "SIMD",
           "issued warps by active lanes 1-8/9-16/17-24/25-32"))
    for k in rows:
        simd = "%5.1f%%" % (100 * k["simd_efficiency"]) if k["simd_efficiency"] is not None else "   - "
        q = "/".join("%.0f%%" % (100 * x) for x in k["occupancy_quarters"])
        print("  %-26s %8d %12d %14d %7.1f %10d %6s  %s" %
              (k["kernel"][:26], k["launches"], k["cycles"], k["insn"], k["ipc"],
               k["conflicts"], simd, q))


if __name__ == "__main__":
    main()
