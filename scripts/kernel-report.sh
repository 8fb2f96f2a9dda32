#!/usr/bin/env bash
# Static report on the proof-of-work kernels: one nvcc compile of gpu/device_module.cu for one
# architecture (no GPU needed), then for each `cuda_` kernel the registers, stack frame and
# spill bytes that ptxas reports, and the register-indexed constant loads of its PTX, by
# constant symbol, counting the device functions it calls.
#
# Usage: scripts/kernel-report.sh [options] [ARCH]      ARCH: compute capability, default 90
#   --no-fail            report only, exit 0 whatever the findings
#   --all                report the batch kernels (`kernel_`) too; they are never judged
#   --keep DIR           keep the PTX and the ptxas log in DIR
#   --ptx F --ptxas-log L
#                        analyse an existing PTX file and ptxas -v log instead of compiling
# Environment: NVCC (the compiler, default nvcc on the PATH or /usr/local/cuda/bin/nvcc).
# Exit status: 0 clean (or --no-fail), 1 a proof-of-work kernel spills or reads a per-lane
# table from constant memory at a register address, 2 bad usage or the compile failed.
#
# Compile flags. They are read from the CMake files, so that this compile is the CUDA build's:
# every `$<$<COMPILE_LANGUAGE:CUDA>:...>` option of CMakeLists.txt and gpu/CMakeLists.txt, the
# `kest_flags` definitions, the CUDA language standard, the source root as include path, and
# CMake's Release flags (-O3 -DNDEBUG) as CI builds it. `-Xptxas=-v` and `--keep` come on top;
# the PTX ptxas assembles is the one analysed.
#
# What counts. A register-indexed constant load is an `ld.const` whose address is a register
# (`[%rd12]`, `[%rd12+4]`) rather than `[symbol]` / `[symbol+imm]`; a generic `ld` through a
# pointer made by `cvta.const` counts too. Such a load is attributed to the constant symbol its
# base register was formed from: within a function, every 64-bit value made by mov, cvta, add,
# sub, mad, selp or cvt carries the symbols of its operands (a flow-insensitive fixpoint over
# the function, so loop-carried pointers are followed); a pointer loaded from a parameter of a
# device function carries what the callers pass in that parameter (`st.param` before each call
# of the kernel's call graph). A pointer that went through memory cannot be followed: its loads
# are "(unknown)", which counts as per-lane. A load whose value only goes into shared memory
# (directly or through mov/cvt) is a table copy made at block start, not a look-up: it is
# counted apart ("copies") and allowed. Counts are static PTX sites, each function of the call
# graph once.
#
# Which tables may be read at a register address. Constant memory serves one address per warp
# per cycle: a load whose lanes hit different addresses is split into one request per address.
# A table is fine in constant memory when every lane of a warp indexes it alike (loop counters,
# round numbers, job data); a table indexed by each candidate's own data belongs in shared
# memory (or registers). The two lists:
per_lane_tables='s Z_*'
# s       MD2 S-box, indexed by message and state bytes
# Z_*     second-half word tables, indexed by bit fields of the candidate index
uniform_tables='cuda_sha256_k CUDA_KECCAK_CONSTS BLAKE2B_IVS BLAKE2B_SIGMAS c_*'
# cuda_sha256_k       SHA-256 round constants, indexed by the round number
# CUDA_KECCAK_CONSTS  Keccak round constants, indexed by the round number
# BLAKE2B_IVS         BLAKE2b IV, indexed by the word number
# BLAKE2B_SIGMAS      BLAKE2b message schedule, indexed by round and word number
# c_*                 job symbols (trailer, midstate, difficulty, BLAKE2b context): one value
#                     for the whole launch
# A symbol in neither list counts as per-lane until it is classified here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  echo "usage: scripts/kernel-report.sh [--no-fail] [--all] [--keep DIR]" \
       "[--ptx FILE --ptxas-log FILE] [ARCH]" >&2
  exit 2
}

arch=90
fail=1
all=0
keep=""
ptx=""
ptxas_log=""
while [ $# -gt 0 ]; do
  case "$1" in
    --no-fail) fail=0 ;;
    --all) all=1 ;;
    --keep) [ $# -ge 2 ] || usage; keep=$2; shift ;;
    --ptx) [ $# -ge 2 ] || usage; ptx=$2; shift ;;
    --ptxas-log) [ $# -ge 2 ] || usage; ptxas_log=$2; shift ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) [[ "$1" =~ ^[0-9]+[af]?$ ]] || usage; arch=$1 ;;
  esac
  shift
done
if { [ -n "$ptx" ] && [ -z "$ptxas_log" ]; } || { [ -z "$ptx" ] && [ -n "$ptxas_log" ]; }; then
  usage
fi

header="$ptx and $ptxas_log"
seconds=""
if [ -z "$ptx" ]; then
  nvcc=${NVCC:-}
  if [ -z "$nvcc" ]; then
    if command -v nvcc >/dev/null; then
      nvcc=nvcc
    elif [ -x /usr/local/cuda/bin/nvcc ]; then
      nvcc=/usr/local/cuda/bin/nvcc
    else
      echo "kernel-report: nvcc not found (set NVCC or put it on the PATH)" >&2
      exit 2
    fi
  fi

  # The CUDA build's flags, from the CMake files (see the top of this file).
  mapfile -t flags < <(python3 - "$root" <<'PY'
import re, sys
root = sys.argv[1]
top = open(f"{root}/CMakeLists.txt").read()
gpu = open(f"{root}/gpu/CMakeLists.txt").read()
def strip_comments(text):
    return "\n".join(line.split("#", 1)[0] for line in text.splitlines())
top, gpu = strip_comments(top), strip_comments(gpu)
flags = []
for text in (top, gpu):
    for m in re.finditer(r"\$<\$<COMPILE_LANGUAGE:CUDA>:([^>]*)>", text):
        flags += m.group(1).split()
if not flags:
    sys.exit("no CUDA compile options found in the CMake files")
for m in re.finditer(r"target_compile_definitions\(kest_flags\s+INTERFACE\s+([^)]*)\)", top):
    for d in m.group(1).split():
        if d.startswith("KEST_CUDA"):
            flags.append(f"-D{d}")
std = re.search(r"set\(CMAKE_CUDA_STANDARD\s+(\d+)\)", top)
if not std or not any(f.startswith("-DKEST_CUDA") for f in flags):
    sys.exit("CUDA standard or KEST_CUDA definition not found in CMakeLists.txt")
flags += [f"-std=c++{std.group(1)}", "-O3", "-DNDEBUG", f"-I{root}"]
seen = set()
for f in flags:
    if f not in seen:
        seen.add(f)
        print(f)
PY
  )
  [ ${#flags[@]} -gt 0 ] || { echo "kernel-report: could not read the compile flags" >&2; exit 2; }

  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  start=$(date +%s.%N)
  if ! (cd "$work" && "$nvcc" "${flags[@]}" -Xptxas=-v --keep --keep-dir "$work" \
          --generate-code="arch=compute_$arch,code=sm_$arch" -x cu -cubin \
          -o "$work/device_module.cubin" "$root/gpu/device_module.cu") >"$work/ptxas.log" 2>&1; then
    cat "$work/ptxas.log" >&2
    echo "kernel-report: nvcc failed" >&2
    exit 2
  fi
  seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  ptx=$(find "$work" -maxdepth 1 -name '*.ptx' | head -n 1)
  [ -n "$ptx" ] || { echo "kernel-report: nvcc kept no PTX" >&2; exit 2; }
  ptxas_log="$work/ptxas.log"
  version=$("$nvcc" --version | sed -n 's/.*release \([0-9.]*\), \(V[0-9.]*\).*/\1 (\2)/p')
  header="gpu/device_module.cu for sm_$arch, nvcc $version, compiled in $seconds s"
  if [ -n "$keep" ]; then
    mkdir -p "$keep"
    cp "$ptx" "$ptxas_log" "$keep/"
  fi
fi

python3 - "$ptx" "$ptxas_log" "$header" "$fail" "$all" "$per_lane_tables" "$uniform_tables" <<'PY'
import fnmatch
import re
import sys

ptx_path, log_path, header, fail, show_all, per_lane, uniform = sys.argv[1:8]
fail, show_all = fail == "1", show_all == "1"
per_lane, uniform = per_lane.split(), uniform.split()

# ---- ptxas -v: registers, stack frame and spills per function --------------------------------
props = {}  # function -> dict
current = None  # entry function being compiled
last_fn = None  # function of the last "Function properties" line
for line in open(log_path, errors="replace"):
    m = re.search(r"Compiling entry function '([^']+)'", line)
    if m:
        current = m.group(1)
        continue
    m = re.search(r"Function properties for (\S+)", line)
    if m:
        last_fn = m.group(1)
        continue
    m = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads",
                  line)
    if m and last_fn:
        props.setdefault(last_fn, {}).update(
            stack=int(m.group(1)), spill_st=int(m.group(2)), spill_ld=int(m.group(3)))
        continue
    m = re.search(r"Used (\d+) registers", line)
    if m and current:
        props.setdefault(current, {})["regs"] = int(m.group(1))

# ---- PTX: functions, constant symbols, loads and calls ---------------------------------------
text = re.sub(r"//[^\n]*", "", open(ptx_path, errors="replace").read())
text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
const_syms = set(re.findall(r"^\s*(?:\.visible\s+|\.extern\s+|\.weak\s+)*\.const\b[^;=]*?"
                            r"([A-Za-z_$][\w$]*)\s*(?:\[[^\]]*\])*\s*(?:=|;)", text, re.M))

funcs = {}  # name -> {"entry": bool, "params": [names], "body": str}
head_re = re.compile(r"^\s*(?:\.visible\s+|\.weak\s+|\.extern\s+)*\.(entry|func)\s*"
                     r"(?:\([^)]*\)\s*)?([A-Za-z_$][\w$]*)\s*(\([^)]*\))?", re.M)
for m in head_re.finditer(text):
    i = m.end()
    while i < len(text) and text[i] not in "{;":
        i += 1
    if i >= len(text) or text[i] == ";":
        continue  # a declaration
    depth, j = 0, i
    while j < len(text):
        if text[j] == "{":
            depth += 1
        elif text[j] == "}":
            depth -= 1
            if depth == 0:
                break
        j += 1
    params = re.findall(r"\.param\s+[^,)]*?([A-Za-z_$][\w$]*)\s*(?:\[\d*\])?\s*(?:,|$)",
                        (m.group(3) or "()")[1:-1])
    funcs[m.group(2)] = {"entry": m.group(1) == "entry", "params": params,
                         "body": text[i + 1:j]}

reg_re = re.compile(r"^%\w+$")
addr_re = re.compile(r"^\s*([%\w$]+)\s*(?:\+\s*-?(?:0x)?[0-9a-fA-F]+)?\s*$")
prop_ops = ("mov", "cvta", "add", "sub", "mad", "selp", "cvt")


def regs_of(operand):
    return re.findall(r"%[A-Za-z_]\w*(?:\.[xyzw])?", operand)


def copies_to_shared(uses, regs, seen):
    """True when every use of the loaded registers is a store into shared memory (a table copy
    made at block start), directly or through mov/cvt."""
    if not regs:
        return False
    for r in regs:
        if r in seen:
            continue
        seen.add(r)
        if not uses.get(r):
            return False
        for kind, moved in uses[r]:
            if kind == "other" or (kind == "move" and not copies_to_shared(uses, moved, seen)):
                return False
    return True


def statements(body):
    for raw in body.replace("{", ";").replace("}", ";").split(";"):
        st = raw.strip()
        st = re.sub(r"^(?:\$?[\w$]+:\s*)+", "", st)  # labels
        st = re.sub(r"^@!?%\w+\s+", "", st)          # predicate guard
        if st and not st.startswith("."):
            yield st


def operands(rest):
    out, depth, cur = [], 0, ""
    for ch in rest:
        if ch in "[({":
            depth += 1
        elif ch in "])}":
            depth -= 1
        if ch == "," and depth == 0:
            out.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        out.append(cur.strip())
    return out


for name, f in funcs.items():
    defs = []     # (dest, [source operands])
    loads = []    # (base register, generic?, destination registers)
    uses = {}     # register -> [(kind, registers it moves into)], kind: shared / move / other
    calls = []    # (callee, [argument registers])
    pending = {}  # call parameter name -> register stored into it
    for st in statements(f["body"]):
        op, _, rest = st.partition(" ")
        ops = operands(rest)
        # Uses of each register: as the value of a shared-memory store, moved into another
        # register, or anything else.
        stores = op == "st" or op.startswith(("st.", "call", "bra", "ret", "bar", "red.", "atom."))
        dests = [] if stores or not ops else regs_of(ops[0])
        for n, o in enumerate(ops if stores else ops[1:]):
            for r in regs_of(o):
                if op.startswith("st.shared") and n == len(ops) - 1 and n > 0:
                    uses.setdefault(r, []).append(("shared", []))
                elif op.split(".")[0] in ("mov", "cvt"):
                    uses.setdefault(r, []).append(("move", dests))
                else:
                    uses.setdefault(r, []).append(("other", []))
        if op.startswith("ld.param") and len(ops) == 2:
            pm = re.match(r"^\[\s*([\w$]+)\s*(?:\+\s*\d+)?\s*\]$", ops[1])
            if pm and pm.group(1) in f["params"]:
                defs.append((ops[0], [("param", f["params"].index(pm.group(1)))]))
        elif op.startswith("st.param") and len(ops) == 2:
            pm = re.match(r"^\[\s*([\w$]+)\s*(?:\+\s*0)?\s*\]$", ops[0])
            if pm:
                pending[pm.group(1)] = ops[1]
        elif op.startswith("call"):
            # call[.uni] [(returns),] callee, [(arguments)]
            names = [i for i, o in enumerate(ops) if not o.startswith("(")]
            if names:
                i = names[0]
                arg_names = []
                if i + 1 < len(ops) and ops[i + 1].startswith("("):
                    arg_names = [a.strip() for a in ops[i + 1][1:-1].split(",") if a.strip()]
                calls.append((ops[i], [pending.get(a) for a in arg_names]))
            pending = {}
        elif op == "ld" or op.startswith("ld."):
            spaces = set(op.split(".")[1:]) & {"const", "global", "local", "shared", "param"}
            am = re.match(r"^\[(.*)\]$", ops[-1]) if ops else None
            a = addr_re.match(am.group(1)) if am else None
            if a and (spaces == {"const"} or not spaces):
                loads.append((a.group(1), not spaces, regs_of(ops[0])))
        elif op.split(".")[0] in prop_ops and ops:
            srcs = []
            for o in ops[1:]:
                base = addr_re.match(o)
                o = base.group(1) if base else o
                if reg_re.match(o):
                    srcs.append(o)
                elif o in const_syms:
                    srcs.append(("sym", o))
            defs.append((ops[0], srcs))
    # Flow-insensitive fixpoint: a register carries every symbol or parameter it may come from.
    bases = {}
    changed = True
    while changed:
        changed = False
        for dest, srcs in defs:
            acc = set(bases.get(dest, ()))
            before = len(acc)
            for s in srcs:
                if isinstance(s, tuple):
                    acc.add(s)
                else:
                    acc |= bases.get(s, set())
            if len(acc) != before:
                bases[dest] = acc
                changed = True
    f["bases"], f["loads"], f["calls"], f["uses"] = bases, loads, calls, uses


def classify(sym):
    if any(fnmatch.fnmatchcase(sym, p) for p in per_lane):
        return "per-lane"
    if any(fnmatch.fnmatchcase(sym, p) for p in uniform):
        return "uniform"
    return "unclassified"


def kernel_loads(entry):
    """Register-indexed constant loads of `entry` and the functions it calls: symbol -> count."""
    reach, todo = [entry], [entry]
    while todo:
        for callee, _ in funcs[todo.pop()]["calls"]:
            if callee in funcs and callee not in reach:
                reach.append(callee)
                todo.append(callee)
    param = {fn: {} for fn in reach}  # function -> parameter index -> symbols

    def resolve(fn, marks):
        out = set()
        for kind, value in marks:
            out |= {value} if kind == "sym" else param[fn].get(value, set())
        return out

    changed = True
    while changed:
        changed = False
        for fn in reach:
            for callee, args in funcs[fn]["calls"]:
                if callee not in param:
                    continue
                for k, reg in enumerate(args):
                    syms = resolve(fn, funcs[fn]["bases"].get(reg, set())) if reg else set()
                    have = param[callee].setdefault(k, set())
                    if not syms <= have:
                        have |= syms
                        changed = True
    counts = {}
    for fn in reach:
        f = funcs[fn]
        for reg, generic, dests in f["loads"]:
            if not reg.startswith("%"):
                continue  # [symbol+imm]
            marks = f["bases"].get(reg, set())
            syms = resolve(fn, marks)
            if generic and not (syms and syms <= const_syms):
                continue  # a generic load counts only through a pointer to a constant symbol
            key = "|".join(sorted(syms)) if syms else "(unknown)"
            if copies_to_shared(f["uses"], dests, set()):
                key += " " + COPY
            counts[key] = counts.get(key, 0) + 1
    return reach, counts


COPY = "(copy to shared)"


def verdict_of(syms_key):
    if syms_key.endswith(COPY):
        return "allowed: a table copy into shared memory"
    if syms_key == "(unknown)":
        return "per-lane"
    kinds = {classify(s) for s in syms_key.split("|")}
    if "per-lane" in kinds or "unclassified" in kinds:
        return "per-lane" if "per-lane" in kinds else "unclassified"
    return "uniform"


kernels = [n for n, f in funcs.items() if f["entry"] and (n.startswith("cuda_") or show_all)]
kernels.sort(key=lambda n: (not n.startswith("cuda_"), n))
if not kernels:
    print("kernel-report: no cuda_ kernel in the PTX", file=sys.stderr)
    sys.exit(2)

print(f"Kernel report: {header}")
print("Counts of ld.const sites in the PTX whose address is a register, the kernel and every")
print("device function it calls; 'per-lane' tables must not be read that way by cuda_ kernels.")
print("'copies': such loads whose value only goes into shared memory (a table copy), allowed.")
print()
rows, details, failed = [], [], []
for k in kernels:
    p = props.get(k, {})
    reach, counts = kernel_loads(k)
    # Spills of the device functions the kernel calls are the kernel's too.
    spill_st = sum(props.get(fn, {}).get("spill_st", 0) for fn in reach)
    spill_ld = sum(props.get(fn, {}).get("spill_ld", 0) for fn in reach)
    bad = sum(c for s, c in counts.items() if verdict_of(s) in ("per-lane", "unclassified"))
    ok = sum(c for s, c in counts.items() if verdict_of(s) == "uniform")
    copies = sum(c for s, c in counts.items() if s.endswith(COPY))
    problems = []
    if k.startswith("cuda_"):
        if "regs" not in p:
            problems.append("no ptxas figures")
        if spill_st or spill_ld:
            problems.append("spills")
        if bad:
            problems.append("per-lane ld.const")
    status = ("FAIL: " + ", ".join(problems)) if problems else (
        "ok" if k.startswith("cuda_") else "(not judged)")
    if problems:
        failed.append(k)
    rows.append((k, str(p.get("regs", "?")), str(p.get("stack", "?")),
                 f"{spill_st}/{spill_ld}", str(len(reach) - 1), str(bad), str(ok), str(copies),
                 status))
    for s, c in sorted(counts.items(), key=lambda x: (-x[1], x[0])):
        details.append((k, s, c, verdict_of(s)))

titles = ("kernel", "registers", "stack B", "spill st/ld B", "callees",
          "per-lane ld.const", "uniform ld.const", "copies", "verdict")
widths = [max(len(r[i]) for r in rows + [titles]) for i in range(len(titles))]
fmt = "  ".join(f"{{:<{w}}}" if i in (0, 8) else f"{{:>{w}}}" for i, w in enumerate(widths))
print(fmt.format(*titles).rstrip())
print(fmt.format(*("-" * w for w in widths)))
for r in rows:
    print(fmt.format(*r).rstrip())
print()
print("Register-indexed constant loads by symbol:")
if not details:
    print("  none")
for k, s, c, v in details:
    print(f"  {k:<{widths[0]}}  {s:<28} {c:>6}  {v}")
print()
print(f"per-lane tables: {' '.join(per_lane)}; uniform: {' '.join(uniform)}")
if failed:
    print(f"FAIL: {', '.join(failed)}" + (" (--no-fail: not an error)" if not fail else ""))
    sys.exit(1 if fail else 0)
print("PASS")
PY
