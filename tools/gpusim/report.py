#!/usr/bin/env python3
"""Per-kernel figures from a cycle-level simulator log (one harness run).

The simulator prints a block of statistics after every kernel launch. Per-launch values
(gpu_sim_cycle, gpu_sim_insn) are taken as they stand; the shared-memory bank conflicts and the
warp occupancy distribution are totals since the start of the run, so each launch gets the
difference from the launch before. Launches of the same kernel are summed.

Usage: report.py SIM_LOG [--json]
       report.py --resident PTXAS_LOG CONFIG KERNEL BLOCK_THREADS
The second form prints how many threads of KERNEL one multiprocessor of CONFIG (a simulator
configuration file) holds at once in blocks of BLOCK_THREADS, from ptxas's register and
shared-memory figures, as the simulator computes it.
"""
import json
import re
import sys


def parse(path):
    launches = []
    current = None
    last_conflicts = 0
    last_warps = {}
    regs = {}
    residency = None
    with open(path, errors="replace") as log:
        for line in log:
            line = line.rstrip("\n")
            m = re.match(r"^GPGPU-Sim PTX: Kernel '(\S+)' : regs=(\d+)", line)
            if m:
                regs[m.group(1)] = int(m.group(2))
                continue
            # Printed when a launch's kernel differs from the one before; it holds until then.
            m = re.match(r"^GPGPU-Sim uArch: CTA/core = (\d+), limited by: (.*)", line)
            if m:
                residency = (int(m.group(1)), m.group(2).strip())
                continue
            m = re.match(r"^kernel_name = (\S+)", line)
            if m:
                current = {"kernel": m.group(1), "cycles": 0, "insn": 0, "conflicts": 0,
                           "warps": {}, "regs": regs.get(m.group(1)), "residency": residency}
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
                 "conflicts": 0, "warps": {}, "regs": launch["regs"],
                 "residency": launch["residency"]}
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


def resident_threads(ptxas_log, config, kernel, block):
    regs = smem = None
    current = None
    with open(ptxas_log, errors="replace") as log:
        for line in log:
            m = re.search(r"Compiling entry function '(\S+)'", line)
            if m:
                current = m.group(1)
                continue
            m = re.search(r"Used (\d+) registers(?:, (\d+) bytes smem)?", line)
            if m and current == kernel:
                regs = int(m.group(1))
                smem = int(m.group(2) or 0)
    if regs is None:
        sys.exit("report: no ptxas figures for %s in %s" % (kernel, ptxas_log))
    options = {}
    with open(config, errors="replace") as cfg:
        for line in cfg:
            parts = line.split()
            if len(parts) >= 2 and parts[0].startswith("-"):
                options[parts[0]] = parts[1]
    threads = int(options["-gpgpu_shader_core_pipeline"].split(":")[0])
    registers = int(options["-gpgpu_shader_registers"])
    shmem = int(options["-gpgpu_shmem_size"])
    cta_limit = int(options["-gpgpu_shader_cta"])
    padded = (block + 31) // 32 * 32
    blocks = min(threads // padded, registers // (padded * ((regs + 3) & ~3)), cta_limit)
    if smem:
        blocks = min(blocks, shmem // smem)
    return blocks * block


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    if sys.argv[1] == "--resident":
        if len(sys.argv) != 6:
            sys.exit(__doc__)
        print(resident_threads(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])))
        return
    rows = summarise(parse(sys.argv[1]))
    if not rows:
        sys.exit("report: no kernel statistics in " + sys.argv[1])
    if "--json" in sys.argv[2:]:
        print(json.dumps(rows))
        return
    print("  %-26s %8s %12s %14s %7s %10s %6s %5s %-14s %s" %
          ("kernel", "launches", "cycles", "thread-insn", "IPC", "bank-confl", "SIMD", "regs",
           "blocks/SM", "issued warps by active lanes 1-8/9-16/17-24/25-32"))
    for k in rows:
        simd = "%5.1f%%" % (100 * k["simd_efficiency"]) if k["simd_efficiency"] is not None else "   - "
        q = "/".join("%.0f%%" % (100 * x) for x in k["occupancy_quarters"])
        regs = str(k["regs"]) if k["regs"] is not None else "-"
        res = "%d (%s)" % k["residency"] if k["residency"] else "-"
        print("  %-26s %8d %12d %14d %7.1f %10d %6s %5s %-14s %s" %
              (k["kernel"][:26], k["launches"], k["cycles"], k["insn"], k["ipc"],
               k["conflicts"], simd, regs, res, q))


if __name__ == "__main__":
    main()
