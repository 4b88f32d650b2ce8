#!/usr/bin/python3
"""Runs every benchmark of both plugins and writes the results table.

Called by scripts/perf.sh after the builds; see that script for the
command. Instruction counts come from callgrind with collection toggled on
the measured function, taken over N calls minus a run with none, so that
set-up and one-off costs drop out. Times come from Google Benchmark and
from the latency program; they vary with the machine's load, the counts
do not.
"""
import argparse
import datetime
import fnmatch
import json
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Where the callgrind profiles go; set by main().
PROFILES = "."


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def run(cmd, cwd=None, env=None, timeout=3600, check=True):
    log("+", " ".join(cmd))
    p = subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True)
    if check and p.returncode != 0:
        raise RuntimeError(f"{cmd[0]} failed ({p.returncode}):\n{p.stdout}\n{p.stderr}")
    return p


# ---------------------------------------------------------------- callgrind

class Callgrind:
    """One callgrind run: totals of every event, and the raw profile."""

    def __init__(self, path):
        self.path = path
        self.events = []
        self.positions = ["line"]
        # The totals line counts system calls made anywhere in the program,
        # also while collection is off; the cost lines hold only what was
        # collected, so the figures come from their sum.
        collected = []
        skip_next = False
        with open(path) as f:
            for line in f:
                if line.startswith("events:"):
                    self.events = line.split()[1:]
                    collected = [0] * len(self.events)
                elif line.startswith("positions:"):
                    self.positions = line.split()[1:]
                elif line.startswith("calls="):
                    skip_next = True  # the next line is the call's inclusive cost
                elif line[:1] in "0123456789+-*" and line.strip():
                    if skip_next:
                        skip_next = False
                        continue
                    values = line.split()[len(self.positions):]
                    for i, v in enumerate(values[:len(collected)]):
                        collected[i] += int(v)
        self.totals = dict(zip(self.events, collected))

    def inclusive(self, pattern):
        """Events of the calls into functions whose name matches the glob
        PATTERN from outside them, callees included. On 32-bit x86 some
        system calls made while collection is off still land in the cost
        lines; these figures hold only what the measured function did."""
        names = {}
        totals = dict.fromkeys(self.events, 0)
        fn = ""
        target = ""
        take = False
        with open(self.path) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition("=")
                if key in ("fn", "cfn"):
                    m = re.match(r"\((\d+)\)(?: (.*))?$", value)
                    name = value
                    if m:
                        name = names.setdefault(m.group(1), m.group(2) or "")
                    if key == "fn":
                        fn = name
                    else:
                        target = name
                elif key == "calls":
                    take = (fnmatch.fnmatchcase(target, pattern)
                            and not fnmatch.fnmatchcase(fn, pattern))
                elif take and line[:1] in "0123456789+-*":
                    take = False
                    values = line.split()[len(self.positions):]
                    for e, v in zip(self.events, values):
                        totals[e] += int(v)
        return totals

    def executed(self, object_name, function_pattern):
        """Execution count of each instruction (by address) inside functions
        whose name matches, in the object whose path ends with object_name,
        and the number of calls they made."""
        addresses, calls = {}, 0
        ob = fn = ""
        skip_next = False
        with open(self.path) as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("ob="):
                    ob = line[3:]
                elif line.startswith("fn="):
                    fn = line[3:]
                elif line.startswith("calls="):
                    if ob.endswith(object_name) and re.search(function_pattern, fn):
                        calls += int(line.split("=")[1].split()[0])
                    skip_next = True
                elif line.startswith("0x"):
                    if skip_next:
                        skip_next = False
                        continue
                    if ob.endswith(object_name) and re.search(function_pattern, fn):
                        fields = line.split()  # address, line, Ir, other events
                        address = int(fields[0], 16)
                        ir = int(fields[2]) if len(fields) > 2 else 0
                        addresses[address] = addresses.get(address, 0) + ir
        return addresses, calls


def callgrind(args, toggle, cwd, name, instr=False):
    out = os.path.join(PROFILES, f"callgrind.{name}.out")
    cmd = ["valgrind", "--tool=callgrind", "--collect-systime=yes",
           f"--callgrind-out-file={out}"]
    if toggle:  # else the whole program
        cmd.append(f"--toggle-collect={toggle}")
    if instr:
        cmd += ["--dump-instr=yes", "--compress-pos=no", "--compress-strings=no"]
    run(cmd + args, cwd=cwd)
    return Callgrind(out)


def per_call(bin_dir, op, toggle, n, instr=False):
    """Instructions and system calls per call of TOGGLE over N calls of OP,
    less a run of OP with none."""
    base = callgrind(["./perf_driver", op, "0"], toggle, bin_dir, f"{op}.0", instr)
    full = callgrind(["./perf_driver", op, str(n)], toggle, bin_dir, f"{op}.{n}", instr)
    sys_full = full.inclusive(toggle)["sysCount"] if toggle else full.totals["sysCount"]
    sys_base = base.inclusive(toggle)["sysCount"] if toggle else base.totals["sysCount"]
    return {
        "ir": (full.totals["Ir"] - base.totals["Ir"]) / n,
        "sys": (sys_full - sys_base) / n,
        "n": n,
        "runs": (base, full),
    }


def executed_per_call(measure, object_name, function_pattern, code):
    """What the N measured calls executed beyond the run with none: the
    instructions (address -> text) and the calls made."""
    base, full = measure["runs"]
    before, calls_before = base.executed(object_name, function_pattern)
    after, calls_after = full.executed(object_name, function_pattern)
    ran = {a: code.get(a, "?") for a, count in after.items() if count > before.get(a, 0)}
    return ran, calls_after - calls_before


def disassembly(library):
    """Address -> instruction text of every instruction in LIBRARY."""
    text = run(["objdump", "-d", "--no-show-raw-insn", library]).stdout
    code = {}
    for line in text.splitlines():
        m = re.match(r"\s+([0-9a-f]+):\s+(.*)", line)
        if m:
            code[int(m.group(1), 16)] = m.group(2).strip()
    return code


# The provider's goals, the same on every target it ships for.
CONVERSION_GOAL = 600
IDLE_POLL_GOAL = 10
CE_DLL_BUDGET = 16384

ATOMIC_RMW = re.compile(r"^(lock\b|xchg|cmpxchg|xadd)")
SYSCALL = re.compile(r"^(syscall|sysenter|int\s+\$0x80)")


# ---------------------------------------------------------------- helpers

def fmt(v, digits=0):
    if v is None:
        return "n/a"
    if isinstance(v, str):
        return v
    return f"{v:,.{digits}f}"


def ratio_text(measured, baseline):
    if not measured or not baseline:
        return "n/a"
    return f"1/{baseline / measured:.1f}" if measured < baseline else f"{measured / baseline:.2f}x"


def timed_runs(cmd, repeats, cwd=None):
    """Median wall and CPU (user+system) seconds of REPEATS runs of CMD."""
    walls, cpus = [], []
    for _ in range(repeats):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(cmd, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        walls.append(time.perf_counter() - t0)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return statistics.median(walls), statistics.median(cpus)


def parse_keyed(line):
    return {k: v for k, v in re.findall(r"(\w[\w-]*)=(\S+)", line)}


# ---------------------------------------------------------------- figures

class Report:
    def __init__(self):
        self.rows = []      # (figure, measured, baseline, goal, verdict)
        self.notes = []
        self.sections = []  # (title, markdown)
        self.failures = []

    def row(self, figure, measured, baseline, goal="", verdict=""):
        self.rows.append((figure, measured, baseline, goal, verdict))

    def goal(self, ok, text):
        """The verdict on a goal; TEXT says by how much, or what went wrong."""
        if not ok:
            self.failures.append(text)
        return ("met" if ok else "**MISSED**") + (f": {text}" if text else "")


def recorder_figures(rep, bin_dir, points, linux32_dir=None):
    point = per_call(bin_dir, "recorder-point", "*PluginSetGPSData*", points)
    base = per_call(bin_dir, "baseline-point", "baselineWritePoint*", points)
    # The crash-safe peer: a logger that flushes every point, as the
    # recorder writes every point before its call returns.
    limit = base["ir"] / 10
    rep.row("Recorder: one track point, steady state, real file (instructions)",
            fmt(point["ir"]), f"{fmt(base['ir'])} (snprintf \"%f\" + fwrite + fflush)",
            f"<= 1/10 of baseline ({fmt(limit)})",
            rep.goal(point["ir"] <= limit,
                     f"{ratio_text(point['ir'], base['ir'])} of the baseline, "
                     f"{limit / point['ir']:.1f}x under the limit"))
    rep.row("Recorder: system calls per point, steady state (one positioned write each)",
            fmt(point["sys"], 4), fmt(base["sys"], 4), "exactly 1",
            rep.goal(abs(point["sys"] - 1) < 0.0005, f"{fmt(point['sys'], 4)} per point"))

    if linux32_dir:
        # The shipped target is 32-bit x86: counted there too, with the same
        # program built -m32 (preset linux32-bench), the recorder coded as
        # in the DLL, without a register for position-independent code.
        try:
            p32 = per_call(linux32_dir, "recorder-point", "*PluginSetGPSData*", points)
            b32 = per_call(linux32_dir, "baseline-point", "baselineWritePoint*", points)
        except (RuntimeError, OSError) as e:
            # Machines without 32-bit support, or whose valgrind cannot run
            # 32-bit programs.
            rep.failures.append(f"32-bit instruction count not measured: {e}")
            p32 = None
    if linux32_dir and p32:
        rep.row("Recorder: one track point, steady state, real file, 32-bit x86 coded as the "
                "DLL (instructions)",
                fmt(p32["ir"]), f"{fmt(b32['ir'])} (snprintf \"%f\" + fwrite + fflush, -m32)",
                "<= 450; exactly 1 system call",
                rep.goal(p32["ir"] <= 450 and abs(p32["sys"] - 1) < 0.0005,
                         f"{ratio_text(p32['ir'], b32['ir'])} of the baseline; "
                         f"{fmt(p32['sys'], 4)} system calls per point"))
    elif not linux32_dir:
        rep.failures.append("32-bit instruction count not measured (no --linux32 build)")

    first = per_call(bin_dir, "recorder-first", "*PluginSetGPSData*", 200)
    base_first = per_call(bin_dir, "baseline-first", "baselineFirstPoint*", 200)
    rep.row("Recorder: first point of a period: file creation, header, point (instructions)",
            fmt(first["ir"]), f"{fmt(base_first['ir'])} (fopen + fprintf header + baseline point)",
            "for the record", ratio_text(first["ir"], base_first["ir"]) + " of the baseline")
    rep.row("Recorder: system calls in the first point", fmt(first["sys"], 1),
            fmt(base_first["sys"], 1))
    return point


def byte_check(rep, bin_dir, points):
    p = run(["./perf_driver", "check-bytes", str(points)], cwd=bin_dir, check=False)
    lines = [l for l in p.stdout.splitlines() if l.strip()]
    ok = p.returncode == 0
    rep.row("Recorder vs baseline: bytes of the point lines",
            "identical" if ok else "DIFFERENT", "-", "identical",
            rep.goal(ok, "; ".join(lines)))


def allocation_figures(rep, bin_dir):
    p = run(["./perf_driver", "allocations"], cwd=bin_dir)
    rows = []
    plugin_code = 0
    for line in p.stdout.splitlines():
        if not line.startswith("alloc "):
            continue
        parts = line.split(" ", 3)
        plugin, entry = parts[1], parts[2]
        kv = parse_keyed(line)
        if "calls" not in kv:
            rows.append(f"| {plugin} | {entry} | - | {line} | | |")
            rep.failures.append(line)
            continue
        rows.append(f"| {plugin} | {entry} | {kv['calls']} | {kv['plugin-code']} | "
                    f"{kv['thread']} | {kv['any-thread']} |")
        plugin_code += int(kv["plugin-code"])
    table = ("| Plugin | Entry | Calls | By plugin code | On the calling thread | Any thread |\n"
             "|---|---|---|---|---|---|\n" + "\n".join(rows))
    rep.sections.append(("Heap allocations per entry", (
        "Counted by standing in for malloc, calloc, realloc and the aligned\n"
        "allocators in `perf_driver` (`perf_driver allocations`). *By plugin code*:\n"
        "allocations whose caller's code lies in the plugin library. *On the calling\n"
        "thread*: every allocation made while the entry ran, by anyone (the bench's\n"
        "own settings store and the system's loader and thread start included).\n"
        "*Any thread*: the same over all threads (the reader thread and the\n"
        "simulated driver's included).\n\n" + table)))
    rep.row("Heap allocations made by plugin code, all entries of both plugins",
            str(plugin_code), "-", "0",
            rep.goal(plugin_code == 0, f"{plugin_code} allocations by plugin code"))
    return plugin_code


def gbench_figures(rep, bin_dir, min_time):
    out = os.path.join(bin_dir, "plugin_bench.json")
    run(["./plugin_bench", f"--benchmark_min_time={min_time}", "--benchmark_out_format=json",
         f"--benchmark_out={out}"], cwd=bin_dir)
    with open(out) as f:
        data = json.load(f)
    times = {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            rep.failures.append(f"benchmark {b['name']}: {b.get('error_message', 'failed')}")
            continue
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        times[b["name"]] = (b["real_time"] * scale, b["cpu_time"] * scale)
    rows = ["| Benchmark | Wall ns | CPU ns |", "|---|---|---|"]
    for name, (wall, cpu) in times.items():
        rows.append(f"| {name} | {wall:,.1f} | {cpu:,.1f} |")
    rep.sections.append(("Google Benchmark times (ns per operation)", (
        "`plugin_bench --benchmark_min_time=%s`. The machine is shared: wall time includes\n"
        "waiting for a core; CPU time is the steadier figure.\n\n" % min_time) + "\n".join(rows)))

    def pair(figure, name, base_name, base_text):
        if name in times:
            base = f"{times[base_name][1]:,.1f} ({base_text})" if base_name in times else "-"
            rep.row(figure, f"{times[name][1]:,.1f}", base, "", "")

    pair("Recorder: one track point, steady state (CPU ns)", "RecorderPoint", "BaselinePoint",
         "snprintf + fwrite + fflush")
    pair("Recorder: first point of a period (CPU ns)", "RecorderFirstPoint",
         "BaselineFirstPoint", "fopen + fprintf")
    pair("Provider: conversion of a full reading (CPU ns)", "ProviderConvert",
         "BaselineCopyReading", "copying the reading")
    pair("Provider: conversion, publication and both fetches (CPU ns)", "ProviderHandOver",
         "BaselineHandOver", "copy, publish and fetch under a mutex")
    pair("Provider: both polls with nothing new, through the library (CPU ns)",
         "ProviderIdlePolls", "BaselineIdlePolls", "both under a mutex")
    return times


def gpsbabel_figures(rep, bin_dir, points, recorder_point):
    work = os.path.join(bin_dir, "bench-output", "gpsbabel")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    nmea = os.path.join(work, "track.nmea")
    empty = os.path.join(work, "empty.nmea")
    with open(nmea, "w") as f:
        subprocess.run([os.path.join(bin_dir, "perf_driver"), "nmea", str(points)], stdout=f,
                       check=True)
    open(empty, "w").close()

    def cmd(src, dst):
        return ["gpsbabel", "-i", "nmea", "-f", src, "-o", "gpx", "-F", dst]

    full_cmd = cmd(nmea, os.path.join(work, "track.gpx"))
    wall, cpu = timed_runs(full_cmd, 5)
    wall0, cpu0 = timed_runs(cmd(empty, os.path.join(work, "empty.gpx")), 5)
    with open(os.path.join(work, "track.gpx")) as f:
        written = f.read().count("<trkpt")
    cg = callgrind(full_cmd, None, work, "gpsbabel")
    cg0 = callgrind(cmd(empty, os.path.join(work, "empty.gpx")), None, work, "gpsbabel0")
    version = run(["gpsbabel", "-V"]).stdout.strip()
    whole = cg.totals["Ir"] / points
    marginal = (cg.totals["Ir"] - cg0.totals["Ir"]) / points
    rep.row(f"Outside reference: {version}, NMEA to GPX, {points:,} points, whole process, "
            "per point (instructions)",
            f"{fmt(whole)} (less an empty run: {fmt(marginal)})",
            f"recorder {fmt(recorder_point['ir'])} per point", "for scale",
            f"the recorder runs {marginal / recorder_point['ir']:,.0f}x fewer instructions "
            "per point")
    rep.row("Outside reference: whole process, per point (CPU / wall us, median of 5)",
            f"{cpu / points * 1e6:.2f} / {wall / points * 1e6:.2f}",
            f"empty input: {cpu0 * 1e3:.1f} / {wall0 * 1e3:.1f} ms per run", "for scale", "")
    if written != points:
        rep.failures.append(f"gpsbabel wrote {written} of {points} points")
    rep.notes.append(f"gpsbabel read {points:,} GGA+RMC pairs generated from the benchmark's "
                     f"track (`perf_driver nmea {points}`) and wrote {written:,} track points; "
                     "its figure includes reading and parsing the NMEA, and its points carry "
                     "more elements than the recorder's.")


def provider_figures(rep, bin_dir):
    library = os.path.join(bin_dir, "orvane.so")
    if not os.path.exists(library):
        rep.failures.append("orvane.so not built")
        return None
    code = disassembly(library)
    rep.notes.append("The provider's full reading has every valid bit, a 3D fix and 12 "
                     "satellites in view, all 12 used and listed in the opposite order (marking "
                     "them costs one bit test per satellite, whatever the order).")
    rep.notes.append("Idle polls: callgrind's per-instruction profile of the entry is matched "
                     "against the library's disassembly; the verdict lists the instructions "
                     "executed. None of them may be locked (lock, xchg, cmpxchg, xadd), a call "
                     "or a system call, and callgrind's system-call count inside the entry "
                     "must be 0.")
    conv = per_call(bin_dir, "provider-convert", "convertPosition*", 200)
    base = per_call(bin_dir, "baseline-convert", "baselineCopyReading*", 200)
    figures = {"convert": conv["ir"], "idle": []}
    rep.row("Provider: conversion of a full reading, all valid bits, 12 satellites "
            "(instructions, on the reader thread)",
            fmt(conv["ir"]), f"{fmt(base['ir'])} (copying the 344-byte reading)",
            f"<= {CONVERSION_GOAL}",
            rep.goal(conv["ir"] <= CONVERSION_GOAL,
                     f"{CONVERSION_GOAL / conv['ir']:.2f}x under the goal"
                     if conv["ir"] <= CONVERSION_GOAL
                     else f"{conv['ir'] - CONVERSION_GOAL:,.0f} over"))

    for what, entry, cap in (("position", "PluginGetPosition", "Position"),
                             ("satellites", "PluginGetSatellites", "Satellites")):
        idle = per_call(bin_dir, f"provider-idle-{what}", f"{entry}(*", 1000, instr=True)
        base_idle = per_call(bin_dir, f"baseline-idle-{what}", f"baselineLockedGet{cap}*", 1000)
        ran, calls = executed_per_call(idle, "orvane.so", rf"^{entry}\(", code)
        atomics = sorted(t for t in ran.values() if ATOMIC_RMW.match(t))
        syscalls = sorted(t for t in ran.values() if SYSCALL.match(t))
        ok = (idle["ir"] <= IDLE_POLL_GOAL and not atomics and not syscalls and calls == 0
              and idle["sys"] == 0)
        figures["idle"].append(idle["ir"])
        rep.row(f"Provider: {entry} with nothing new (instructions; locked instructions, "
                "calls, system calls executed)",
                f"{fmt(idle['ir'], 1)}; {len(atomics)} locked, {calls} calls, "
                f"{fmt(idle['sys'], 0)} system calls",
                f"{fmt(base_idle['ir'], 1)} (the same poll under a mutex)",
                f"<= {IDLE_POLL_GOAL}, no lock, no system call",
                rep.goal(ok, f"{IDLE_POLL_GOAL / idle['ir']:.0f}x under the goal; executes only "
                         + ", ".join(ran[a].split()[0] for a in sorted(ran))
                         if ok else f"{idle['ir']:.1f} instructions, locked: {atomics}, "
                         f"calls: {calls}, system calls: {idle['sys']}"))
        new = per_call(bin_dir, f"provider-new-{what}", f"{entry}(*", 200)
        base_new = per_call(bin_dir, f"baseline-new-{what}", f"baselineLockedGet{cap}*", 200)
        size = "44 bytes" if what == "position" else "12 satellites, 192 bytes"
        rep.row(f"Provider: {entry} with new data ({size}; instructions)",
                f"{fmt(new['ir'], 1)}; {fmt(new['sys'], 2)} system calls",
                f"{fmt(base_new['ir'], 1)} (the same copy under a mutex)", "", "")
    return figures


ALLOCATORS = re.compile(r"^(malloc|calloc|realloc|free|_aligned_malloc|_strdup|_wcsdup|"
                        r"strdup|HeapAlloc|HeapCreate|LocalAlloc|GlobalAlloc|VirtualAlloc|"
                        r"\?\?2@|_Zn[wa])")
EMULATED = re.compile(r"(\d+) readings converted, (\d+) to (\d+) instructions each "
                      r"\(mean (\d+), the 12-used-none-in-view case (\d+)\)")


def emulated_run(rep, where, cmd):
    """Conversions and idle polls of a DLL on an emulated CPU (tests/arm):
    the figures it prints, or None."""
    p = run(cmd, cwd=ROOT, check=False, timeout=1800)
    out = p.stdout + p.stderr
    m = EMULATED.search(out)
    if p.returncode != 0 or not m:
        rep.failures.append(f"{where}: the emulated run failed ({p.returncode}): "
                            + " ".join(out.strip().splitlines()[-3:]))
    if not m:
        return None
    n, low, high, mean, worst = (int(v) for v in m.groups())
    return {"n": n, "min": low, "max": high, "mean": mean, "worst": worst, "out": out,
            "rc": p.returncode}


def dll_allocators(path):
    sys.path.insert(0, os.path.join(ROOT, "cmake"))
    import ce_pe
    with open(path, "rb") as f:
        imports = ce_pe.Image(f.read()).imports()
    return sorted(f"{d}!{n}" for d, names in imports.items() for n in names
                  if ALLOCATORS.match(n))


# The emulated CPUs of tests/arm, one of each ARM generation the CE DLL serves.
ARM_CPUS = ("TI925T", "ARM926", "PXA270", "ARM1176", "CORTEX_A8")


def arm_figures(rep, arm_dll):
    """The CE ARM DLL's counts on each emulated CPU, by the emulated host's
    own test: it checks every record against the shared readings' and the
    goals, and prints the counts. The figures of the CPU with the costliest
    conversion, with every CPU's in "per_cpu"; None if any run failed."""
    runs = {}
    for cpu in ARM_CPUS:
        r = emulated_run(rep, f"CE ARM orvane.dll on {cpu}", [
            "/usr/bin/python3", os.path.join(ROOT, "tests", "arm", "test_ce_arm.py"), arm_dll, cpu,
            "Lifecycle.test_readings_convert_as_on_x86_and_the_reader_costs_little"])
        if not r:
            return None
        m = re.search(r"idle polls (\d+) and (\d+) instructions", r["out"])
        r["idle"] = [int(m.group(1)), int(m.group(2))] if m else None
        # The test fails on any swap, exclusive access, barrier or call in an
        # idle poll.
        r["locked"] = 0 if r["rc"] == 0 else None
        runs[cpu] = r
    arm = dict(max(runs.values(), key=lambda r: r["max"]))
    arm["per_cpu"] = runs
    idles = [r["idle"] for r in runs.values()]
    arm["idle"] = [max(i[k] for i in idles) for k in (0, 1)] if all(idles) else None
    arm["locked"] = 0 if all(r["locked"] == 0 for r in runs.values()) else None
    rep.notes.append("CE ARM DLL per emulated CPU (conversion min / mean / max; idle polls "
                     "slot 14 / 15, instructions): " + "; ".join(
                         f"{cpu} {r['min']} / {r['mean']} / {r['max']}; "
                         f"{' / '.join(str(v) for v in r['idle'] or [])}"
                         for cpu, r in runs.items()))
    return arm


def shipping_figures(rep, ce_dir, win_dir, x64, plugin_allocations):
    """The provider's conversion and idle polls counted on the DLLs it ships
    as: the CE ARM one and the 32-bit x86 one, each on an emulated CPU."""
    arm_dll = os.path.join(ce_dir, "orvane.dll") if ce_dir else None
    x86_dll = os.path.join(win_dir, "orvane.dll") if win_dir else None
    arm = x86 = None
    if arm_dll and os.path.exists(arm_dll):
        arm = arm_figures(rep, arm_dll)
    else:
        rep.failures.append("CE ARM orvane.dll not built: its counts are left out")
    if x86_dll and os.path.exists(x86_dll):
        x86 = emulated_run(rep, "32-bit x86 orvane.dll", [
            "/usr/bin/python3", os.path.join(ROOT, "tests", "arm", "x86_count.py"), x86_dll])
        if x86:
            polls = re.findall(r"slot 1[45] (\d+) instructions, (\d+) locked", x86["out"])
            x86["idle"] = [int(a) for a, _ in polls] if len(polls) == 2 else None
            x86["locked"] = sum(int(b) for _, b in polls) if len(polls) == 2 else None
    else:
        rep.failures.append("32-bit x86 orvane.dll not built: its counts are left out")

    def cell(r, text):
        return text(r) if r else "not measured"

    worst = [v for v in (x64 and x64["convert"], arm and arm["max"], x86 and x86["max"]) if v]
    measured = [r for r in (x64, arm, x86) if r]
    conv_ok = all(v <= CONVERSION_GOAL for v in worst) and len(worst) == 3
    idle_all = [v for r in measured for v in (r.get("idle") or [])]
    locked = [r.get("locked") if r else None for r in (arm, x86)]
    idle_ok = (len(measured) == 3 and all(r.get("idle") for r in measured)
               and max(idle_all) <= IDLE_POLL_GOAL and locked == [0, 0])
    every = "every reading on each target" if len(measured) == 3 else "not measured on each target"
    verdict_conv = rep.goal(conv_ok, f"worst {max(worst):,.0f} of {CONVERSION_GOAL}, {every}"
                            if worst else "not measured")
    verdict_idle = rep.goal(idle_ok, ("none locked (no lock prefix or exchange with memory; "
                                      "no SWP, LDREX/STREX, barrier or call on ARM)") if idle_ok else
                            f"polls {idle_all}, locked instructions (ARM, x86) {locked}; {every}")

    def idle(r):
        return " / ".join(f"{v:.0f}" for v in r["idle"]) if r.get("idle") else "n/a"

    def no_allocator(path, emulated):
        found = dll_allocators(path)
        if not found:
            return "0: the DLL imports no allocator", True
        # The emulated run provides no allocator: a call to one ends it.
        names = ", ".join(n.split("!")[1] for n in found)
        if emulated and emulated["rc"] == 0:
            return (f"0 in the emulated run (Init, Start, every conversion and poll); "
                    f"imports {names}"), True
        return f"imports {names}; not shown unused", False

    rows = [
        ("Conversion, every field valid, 12 satellites in view and 12 used (x86-64: all of "
         "them in view; DLLs: none of them, the slowest case) (instructions)",
         fmt(x64["convert"]) if x64 else "not measured",
         cell(x86, lambda r: f"{r['worst']:,}"), cell(arm, lambda r: f"{r['worst']:,}"),
         f"<= {CONVERSION_GOAL}", verdict_conv),
        (f"Conversion, the {(arm or x86 or {}).get('n', '?')} shared readings (instructions, "
         "min / mean / max)", "-",
         cell(x86, lambda r: f"{r['min']} / {r['mean']} / {r['max']}"),
         cell(arm, lambda r: f"{r['min']} / {r['mean']} / {r['max']}"),
         f"<= {CONVERSION_GOAL}", ""),
        ("Idle poll, slot 14 / slot 15 (instructions)",
         idle(x64) if x64 else "not measured", cell(x86, idle), cell(arm, idle),
         f"<= {IDLE_POLL_GOAL}, no locked instruction", verdict_idle),
    ]
    alloc_cells = [f"{plugin_allocations} (the allocation table above)"]
    alloc_ok = plugin_allocations == 0
    sizes = ["-"]
    for path, emulated in ((x86_dll, x86), (arm_dll, arm)):
        if path and os.path.exists(path):
            text, ok = no_allocator(path, emulated)
            alloc_cells.append(text)
            alloc_ok = alloc_ok and ok
            sizes.append(f"{os.path.getsize(path):,}")
        else:
            alloc_cells.append("not built")
            sizes.append("not built")
            alloc_ok = False
    rows.append(("Heap allocations per entry", *alloc_cells, "0",
                 rep.goal(alloc_ok, "on each" if alloc_ok else "see the cells")))
    ce_size = os.path.getsize(arm_dll) if arm_dll and os.path.exists(arm_dll) else None
    rows.append(("DLL size (bytes)", *sizes, f"CE: <= {CE_DLL_BUDGET:,}",
                 rep.goal(ce_size is not None and ce_size <= CE_DLL_BUDGET,
                          f"{CE_DLL_BUDGET - ce_size:,} bytes to spare on CE" if ce_size
                          and ce_size <= CE_DLL_BUDGET else
                          f"CE DLL: {ce_size:,} bytes" if ce_size else "no CE DLL")))
    table = ["| Figure | x86-64 | 32-bit x86 DLL | CE ARM DLL (ARMv4I) | Goal | Verdict |",
             "|---|---|---|---|---|---|"] + ["| " + " | ".join(r) + " |" for r in rows]
    rep.sections.append(("The provider on its shipping targets", (
        "The ARM figures come from the CE ARM `orvane.dll` (preset `ce-arm`) run on an\n"
        "emulated CPU of each generation (TI925T, ARM926, PXA270, ARM1176, Cortex-A8;\n"
        "the costliest shown, each in the notes) by `tests/arm/test_ce_arm.py`, the test\n"
        "that also checks each record and the goals; the 32-bit x86 ones from the\n"
        "`orvane.dll` of preset\n"
        "`win32-bench` on an emulated CPU (`tests/arm/x86_count.py`). Both count\n"
        "the DLL's own instructions exactly. A conversion there runs from one wait of\n"
        "the reader thread to the next (driver fetch, conversion, publication), over\n"
        "the shared readings of `tests/arm/readings.bin`, whose last is the slowest\n"
        "case (12 used satellites, none of them in view); memcpy and the float\n"
        "helpers, which the system DLLs do, are not counted. The x86-64 figures are\n"
        "callgrind's (the table above): the conversion alone of the benchmark's full\n"
        "reading, memcpy included. Allocations on the DLLs: what the import table\n"
        "holds of malloc and its kin, the Heap/Local/Global/Virtual allocators and\n"
        "operator new; an emulated run ends on a call to an import it does not\n"
        "provide, and it provides none of these.\n\n") + "\n".join(table)))


def latency_figures(rep, bin_dir, win_dir, wine, readings, wine_readings):
    def parse(text):
        line = next((l for l in text.splitlines() if l.startswith("latency ")), "")
        return parse_keyed(line), line

    p = run(["./latency", str(readings)], cwd=bin_dir, check=False)
    results = [("Linux x86_64", p.returncode, *parse(p.stdout))]
    if wine:
        exe = os.path.join(win_dir, "latency.exe")
        t0 = time.perf_counter()
        p = run([os.path.join(ROOT, "scripts", "wine-run.sh"), exe, str(wine_readings)],
                cwd=win_dir, check=False, timeout=1800)
        results.append((f"Windows 32-bit under {run(['wine', '--version']).stdout.strip()} "
                        f"(whole Wine run {time.perf_counter() - t0:.0f} s)",
                        p.returncode, *parse(p.stdout)))
    rep.notes.append("Latency: the host's thread hands the simulated driver a reading, which "
                     "signals the new-location event; the time runs until PluginGetPosition, "
                     "polled in a loop that yields, returns that reading. The reader thread "
                     "sleeps in its wait before each reading (1 ms pause). The baseline's "
                     "wake-ups alternate with the provider's readings, so both meet the same "
                     "load; on this shared machine the tails are other programs' doing.")
    for where, code, kv, line in results:
        if code != 0 or "median_us" not in kv:
            rep.row(f"Provider: signal to position available, {where}", "failed", "-", "", line)
            rep.failures.append(f"latency on {where}: {line or 'no output'}")
            continue
        # The goal: the provider adds little to the wake-up itself.
        median, bare = float(kv["median_us"]), float(kv["baseline_median_us"])
        clean = kv["mismatches"] == "0" and kv["timeouts"] == "0"
        rep.row(f"Provider: driver signal to position available to the host, {where}, "
                f"{kv['readings']} readings (us, median / p99 / max)",
                f"{kv['median_us']} / {kv['p99_us']} / {kv['max_us']}",
                f"{kv['baseline_median_us']} / {kv['baseline_p99_us']} / "
                f"{kv['baseline_max_us']} (bare wake-up of a thread on the same kind of event)",
                "median <= 2x the bare wake-up's; none wrong or lost",
                rep.goal(median <= 2 * bare and clean,
                         f"median {median / bare:.2f}x the bare wake-up's; "
                         f"{kv['mismatches']} wrong positions, {kv['timeouts']} lost"))


def recorder_timing_figures(rep, bin_dir, win_dir, wine, points):
    """Wall time per point and the longest call, natively and under Wine."""
    def parse(text):
        line = next((l for l in text.splitlines() if l.startswith("recorder_timing ")), "")
        return parse_keyed(line), line

    p = run(["./recorder_timing", str(points)], cwd=bin_dir, check=False)
    results = [("Linux x86_64", p.returncode, *parse(p.stdout))]
    if wine and win_dir:
        exe = os.path.join(win_dir, "recorder_timing.exe")
        p = run([os.path.join(ROOT, "scripts", "wine-run.sh"), exe, str(points)],
                cwd=win_dir, check=False, timeout=1800)
        results.append((f"Windows 32-bit under {run(['wine', '--version']).stdout.strip()}",
                        p.returncode, *parse(p.stdout)))
    rep.notes.append("Recorder wall times: every PluginSetGPSData call is timed on its own "
                     "after the period's first; the figure per point is the whole run over "
                     "the points. The baseline writes the same points with snprintf, fwrite "
                     "and fflush, each flushed before the next, into a file of its own."
                     + (" Under Wine a write at an offset (`WriteFile` with an `OVERLAPPED` "
                        "position, one call per point) goes through the Wine server and costs "
                        "several times a plain `WriteFile`, and it varies with the server's "
                        "load; Windows itself writes at an offset in the one system call."
                        if wine and win_dir else ""))
    for where, code, kv, line in results:
        if code != 0 or "recorder_us" not in kv:
            rep.row(f"Recorder: wall time per point, {where}", "failed", "-", "", line)
            rep.failures.append(f"recorder timing on {where}: {line or 'no output'}")
            continue
        rep.row(f"Recorder: wall time per point, {where}, {kv['points']} points "
                "(us, per point / median call / longest call)",
                f"{kv['recorder_us']} / {kv['recorder_median_us']} / {kv['recorder_max_us']}",
                f"{kv['baseline_us']} / {kv['baseline_median_us']} / {kv['baseline_max_us']} "
                "(snprintf + fwrite + fflush)", "for the record",
                ratio_text(float(kv["recorder_us"]), float(kv["baseline_us"])) +
                " of the baseline per point")


def dll_figures(rep, win_dir):
    budgets = {"wendmark.dll": 65536, "orvane.dll": 32768}
    for name, budget in budgets.items():
        path = os.path.join(win_dir, name)
        if not os.path.exists(path):
            rep.row(f"{name}: size", "not built", f"budget {budget:,}", "", "")
            rep.failures.append(f"{name} not built")
            continue
        dump = run(["i686-w64-mingw32-objdump", "-p", path]).stdout
        size = os.path.getsize(path)
        imports = {}
        current = None
        for line in dump.splitlines():
            m = re.match(r"\s*DLL Name: (\S+)", line)
            if m:
                current = m.group(1)
                imports[current] = 0
            elif current and re.match(r"\s+[0-9a-f]+\s+\d+\s+\S+", line):
                imports[current] += 1
            elif current and not line.strip():
                current = None if imports[current] else current
        table = dump.split("[Ordinal/Name Pointer] Table", 1)
        exports = re.findall(r"^\s+\[\s*\d+\]\s+(\S+)", table[1].split("\n\n", 1)[0],
                             re.M) if len(table) == 2 else []
        system = all(d.lower() in ("kernel32.dll", "msvcrt.dll") for d in imports)
        rep.row(f"{name}: size (bytes, stripped)", f"{size:,}", f"budget {budget:,}",
                f"<= {budget:,}",
                rep.goal(size <= budget, f"{budget - size:,} bytes ({(budget - size) / budget:.0%}) "
                         "to spare" if size <= budget else f"{size - budget:,} bytes over"))
        rep.row(f"{name}: imports and exports",
                ", ".join(f"{d} ({n} functions)" for d, n in imports.items()) +
                f"; exports: {', '.join(exports)}", "system DLLs only", "system DLLs only",
                rep.goal(system and exports == ["pluginPreInitMethod"],
                         f"{name}: exports {exports}, imports {sorted(imports)}"))


def machine_text(args):
    def first(cmd):
        try:
            return run(cmd, check=False).stdout.splitlines()[0].strip()
        except Exception:
            return "?"
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    commit = first(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"])
    # The document being rewritten is no local change of the code measured.
    out = os.path.relpath(os.path.abspath(args.out), ROOT)
    dirty = [l for l in run(["git", "-C", ROOT, "status", "--porcelain",
                             "--untracked-files=no"], check=False).stdout.splitlines()
             if l[3:].strip() != out]
    return (f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; "
            f"commit {commit}{' (with local changes)' if dirty else ''}\n"
            f"- Machine: {cpu}, {os.cpu_count()} cores (shared), "
            f"Linux {os.uname().release}\n"
            f"- Compilers: {first(['g++', '--version'])}; "
            f"{first(['i686-w64-mingw32-g++', '--version'])}\n"
            f"- {first(['valgrind', '--version'])}, Google Benchmark "
            f"{first(['dpkg-query', '-W', '-f=${Version}', 'libbenchmark-dev'])}")


def write_report(rep, args, path):
    lines = ["# Performance and footprint", "",
             "Written by `scripts/perf.sh`; every figure and its baseline come from the same run.",
             "", "Command: `" + args.command + "`", "", machine_text(args), "",
             "Instruction counts are user-space instructions counted by callgrind on Linux "
             "x86_64 (Release build, preset `linux-bench`; the recorder's point also on 32-bit "
             "x86, preset `linux32-bench`, the recorder compiled without a register for "
             "position-independent code, as the DLL is), per call, over N calls less a run "
             "with none. System calls are callgrind's count within the measured function. Times "
             "are indicative only: the machine is shared.", "",
             "| Figure | Measured | Baseline (same run) | Goal | Verdict |",
             "|---|---|---|---|---|"]
    order = ["Recorder", "Provider", "Heap", "wendmark", "orvane", "Outside"]

    def group(row):
        return next((i for i, p in enumerate(order) if row[0].startswith(p)), len(order))

    for figure, measured, baseline, goal, verdict in sorted(rep.rows, key=group):
        lines.append(f"| {figure} | {measured} | {baseline} | {goal} | {verdict} |")
    lines.append("")
    if rep.failures:
        lines += ["**Not met or not measured:**", ""] + [f"- {f}" for f in rep.failures] + [""]
    for title, body in rep.sections:
        lines += [f"## {title}", "", body, ""]
    if rep.notes:
        lines += ["## Notes", ""] + [f"- {n}" for n in rep.notes] + [""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--linux", required=True, help="bin folder of the linux-bench build")
    ap.add_argument("--win32", help="bin folder of the win32-bench build")
    ap.add_argument("--linux32", help="bin folder of the linux32-bench build")
    ap.add_argument("--ce-arm", help="bin folder of the ce-arm build (the CE ARM DLL)")
    ap.add_argument("--out", required=True)
    ap.add_argument("--points", type=int, default=20000)
    ap.add_argument("--min-time", default="0.5")
    ap.add_argument("--wine", action="store_true", help="also run the latency program under Wine")
    ap.add_argument("--readings", type=int, default=2000, help="latency readings on Linux")
    ap.add_argument("--wine-readings", type=int, default=2000, help="latency readings under Wine")
    ap.add_argument("--command", default="scripts/perf.sh")
    args = ap.parse_args()
    args.linux = os.path.abspath(args.linux)
    args.win32 = os.path.abspath(args.win32) if args.win32 else None
    args.linux32 = os.path.abspath(args.linux32) if args.linux32 else None
    args.ce_arm = os.path.abspath(args.ce_arm) if args.ce_arm else None
    global PROFILES
    PROFILES = os.path.join(args.linux, "bench-output", "callgrind")
    shutil.rmtree(PROFILES, ignore_errors=True)
    os.makedirs(PROFILES)

    rep = Report()
    point = recorder_figures(rep, args.linux, args.points, args.linux32)
    recorder_timing_figures(rep, args.linux, args.win32, args.wine, args.points)
    byte_check(rep, args.linux, 100000)
    gbench_figures(rep, args.linux, args.min_time)
    provider = provider_figures(rep, args.linux)
    latency_figures(rep, args.linux, args.win32, args.wine, args.readings, args.wine_readings)
    plugin_allocations = allocation_figures(rep, args.linux)
    shipping_figures(rep, args.ce_arm, args.win32, provider, plugin_allocations)
    if args.win32:
        dll_figures(rep, args.win32)
    gpsbabel_figures(rep, args.linux, args.points, point)
    write_report(rep, args, args.out)
    log(f"wrote {args.out}")
    for f in rep.failures:
        log("NOT MET:", f)
    return 1 if rep.failures else 0


if __name__ == "__main__":
    sys.exit(main())
