#!/usr/bin/env python3
"""Profiles of the upload cycle behind bench/profile: where the program's instructions (callgrind),
CPU time and scheduling delays (perf, when it works here) and system calls (strace) go while it uploads a batch of
200 KiB pictures dropped into its source folder at once. Writes the raw reports and a summary
to bench/results/profile/ and prints the summary. See bench/PROFILE.md for a reading."""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402

OUT = h.RESULTS / "profile"

# Components of the per-picture cost: each is a list of functions (demangled, without the
# parameter list); overloads of one name count once (the largest, as they call each other).
COMPONENTS = [
    ("console logging (consoleLog, incl. traceInside)", ["vesk::consoleLog"]),
    ("  stderr lines of the move (writeStandardError)", ["vesk::writeStandardError"]),
    ("  message log file (MessageLog::LogMessage)", ["vesk::MessageLog::LogMessage"]),
    ("  records described for the log (describe)", ["vesk::describe"]),
    ("thread creation (detachThread)", ["vesk::AppController::detachThread"]),
    ("validation (validateUserInfoBeforeUploading)", ["vesk::AppController::validateUserInfoBeforeUploading"]),
    ("the walk (FolderWalk::findFirst)", ["vesk::FolderWalk::findFirst"]),
    ("  writer check (checkWriter)", ["vesk::checkWriter"]),
    ("EXIF: capture date (GetAndUpdateFileCreationDate)", ["vesk::GetAndUpdateFileCreationDate"]),
    ("EXIF: annotation (readPictureAnnotation)", ["vesk::readPictureAnnotation"]),
    ("HTTP: request body prefix (multipartPrefix)", ["vesk::multipartPrefix"]),
    ("HTTP: transfer (HttpTransfer::post)", ["vesk::HttpTransfer::post"]),
    ("HTTP: outcome recorded and logged (recordExchange)", ["vesk::HttpController::recordExchange"]),
    ("  reply parsing (interpretReply)", ["vesk::interpretReply"]),
    ("move into the mirror (moveFileToPath)", ["vesk::AppController::moveFileToPath"]),
    ("preference reads (PreferenceStore::objectForKey)", ["vesk::PreferenceStore::objectForKey"]),
    ("whole pass on the scan thread (scanFolderOnMainThread)", ["vesk::AppController::scanFolderOnMainThread"]),
    ("re-open on its thread (openFileOnMainThread)", ["vesk::AppController::openFileOnMainThread"]),
    ("watcher events (FolderWatcher::handleEvents)", ["vesk::FolderWatcher::handleEvents"]),
]


def base_name(function):
    """The function's name without its parameter list; None for lambdas and the like inside it."""
    depth = 0
    for i, c in enumerate(function):
        if c == "<":
            depth += 1
        elif c == ">":
            depth -= 1
        elif c == "(" and depth == 0:
            rest = function[i:]
            if "::{lambda" in rest or ")::" in rest:
                return None
            return function[:i]
    return function


def component_values(values):
    """values: {base name: [cost of each overload]} -> [(component, cost)]."""
    result = []
    for title, names in COMPONENTS:
        total = sum(max(values[n]) for n in names if n in values)
        result.append((title, total))
    return result


# ---- callgrind --------------------------------------------------------------------------------

NAME_REF = re.compile(r"^\((\d+)\)(?: (.*))?$")


def callgrind_inclusive(path):
    """Inclusive instruction counts per function, read from the callgrind file itself: a function's
    own cost (whatever file its inlined code came from) plus the inclusive cost of its calls."""
    names = {}
    own, calls = {}, {}
    total = 0
    current = callee = None
    call_line = False
    with open(path) as f:
        for line in f:
            if line.startswith(("fn=", "cfn=")):
                key, rest = line.rstrip("\n").split("=", 1)
                m = NAME_REF.match(rest)
                if m:
                    if m.group(2):
                        names[m.group(1)] = m.group(2)
                    name = names[m.group(1)]
                else:
                    name = rest
                if key == "fn":
                    current = name
                else:
                    callee = name
            elif line.startswith("calls="):
                call_line = True
            elif line.startswith("summary:"):
                total = int(line.split()[1])
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if call_line:
                    if callee != current:
                        calls[current] = calls.get(current, 0) + cost
                    call_line = False
                else:
                    own[current] = own.get(current, 0) + cost
    values = {}
    for function in set(own) | set(calls):
        name = base_name(re.sub(r"'\d+$", "", function))
        if name:
            values.setdefault(name, []).append(own.get(function, 0) + calls.get(function, 0))
    return total, values


def run_callgrind(bench, template, count):
    d = bench.next_dir("callgrind")
    event = bench.event("callgrind")
    source, mirror, staging = d / "source", d / "mirror", d / "staging"
    for f in (source, mirror, staging):
        f.mkdir()
    shutil.copytree(template, staging / "batch")
    out = d / "callgrind.out"
    prog = h.Program(d, "p", source, mirror, bench.service.url, event,
                     wrapper=["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"])
    try:
        prog.wait_watcher(300)
        time.sleep(1)
        subprocess.run(["callgrind_control", "-z", str(prog.pid)], check=True, stdout=subprocess.DEVNULL)
        start = time.monotonic()
        os.rename(staging / "batch", source / "batch")
        if not prog.wait_uploaded(count, 900):
            raise RuntimeError(f"callgrind: only {prog.uploaded} of {count} uploaded")
        elapsed = time.monotonic() - start
        time.sleep(1)  # the follow-up empty pass
        subprocess.run(["callgrind_control", "-d", str(prog.pid)], check=True, stdout=subprocess.DEVNULL)
    finally:
        prog.stop()
    dump = d / "callgrind.out.1"
    shutil.copyfile(dump, OUT / "callgrind.out")
    total, values = callgrind_inclusive(dump)
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=99", str(dump)],
                          capture_output=True, text=True).stdout
    (OUT / "callgrind-inclusive.txt").write_text(text)
    bench.finish_run(event, d)
    return total, values, elapsed


# ---- perf -------------------------------------------------------------------------------------

def perf_works():
    probe = subprocess.run(["perf", "stat", "-e", "cpu-clock", "true"], capture_output=True, text=True)
    return probe.returncode == 0 and "<not supported>" not in probe.stderr


PERF_LINE = re.compile(r"^\s*([\d.]+)%\s+([\d.]+)%\s+\[([.k])\]\s+(.*)$")
PERF_FREQUENCY = 4000


def run_perf(bench, template, count):
    d = bench.next_dir("perf")
    event = bench.event("perf")
    source, mirror, staging = d / "source", d / "mirror", d / "staging"
    for f in (source, mirror, staging):
        f.mkdir()
    shutil.copytree(template, staging / "batch")
    data = d / "perf.data"
    prog = h.Program(d, "p", source, mirror, bench.service.url, event)
    try:
        prog.wait_watcher()
        recorder = subprocess.Popen(
            ["perf", "record", "-e", "cpu-clock", "-F", str(PERF_FREQUENCY), "--call-graph", "dwarf,16384",
             "-o", str(data), "-p", str(prog.pid)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        os.rename(staging / "batch", source / "batch")
        if not prog.wait_uploaded(count, 300):
            raise RuntimeError(f"perf: only {prog.uploaded} of {count} uploaded")
        time.sleep(0.5)
        recorder.send_signal(signal.SIGINT)
        recorder.wait(60)
    finally:
        prog.stop()
    report = ["perf", "report", "-i", str(data), "--stdio", "-g", "none"]
    children = subprocess.run(report + ["--children", "--sort", "sym"], capture_output=True, text=True).stdout
    split = subprocess.run(report + ["--no-children", "-n", "--sort", "comm,dso"], capture_output=True,
                           text=True).stdout
    (OUT / "perf-children.txt").write_text(children)
    (OUT / "perf-threads-and-libraries.txt").write_text(split)
    samples = 0
    for line in split.splitlines():
        m = re.match(r"^\s*[\d.]+%\s+(\d+)\s+", line)
        if m:
            samples += int(m.group(1))
    values = {}
    for line in children.splitlines():
        m = PERF_LINE.match(line)
        if m:
            name = base_name(m.group(4).strip())
            if name:
                values.setdefault(name, []).append(float(m.group(1)))
    bench.finish_run(event, d)
    return samples, values, split


# ---- scheduling delays --------------------------------------------------------------------------

SCHED_LINE = re.compile(r"^\s*(\S+?)(?::\((\d+)\)|:\d+)?\s*\|\s*([\d.]+) ms\s*\|\s*(\d+)\s*\|\s*avg:\s*([\d.]+) ms")


def sched_latency(data):
    """{task name: (threads, run ms, switches, total delay ms)} from perf sched latency."""
    text = subprocess.run(["perf", "sched", "latency", "-i", str(data)], capture_output=True, text=True).stdout
    tasks = {}
    for line in text.splitlines():
        m = SCHED_LINE.match(line)
        if m:
            name = m.group(1)
            threads = int(m.group(2) or 1)
            run, switches, avg = float(m.group(3)), int(m.group(4)), float(m.group(5))
            old = tasks.get(name, (0, 0.0, 0, 0.0))
            tasks[name] = (old[0] + threads, old[1] + run, old[2] + switches, old[3] + switches * avg)
    return tasks, text


def run_sched(bench, template, count, mode):
    """Records the scheduler system-wide while the cycle (or the tight loop) sends the batch."""
    d = bench.next_dir(f"sched-{mode}")
    event = bench.event(f"sched {mode}")
    data = d / "sched.data"
    record = ["perf", "sched", "record", "-o", str(data)]
    if mode == "latency":
        # Pictures dropped one at a time, as in bench/run's latency figure.
        payloads = [Path(p).read_bytes() for p in h.picture_list(template)[:10]]
        source, mirror = d / "source", d / "mirror"
        mirror.mkdir()
        for k in range(1, 11):
            (source / f"Table {k}").mkdir(parents=True)
        prog = h.Program(d, "p", source, mirror, bench.service.url, event)
        rng = random.Random(7)
        try:
            prog.wait_watcher()
            recorder = subprocess.Popen(record, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            window = time.monotonic()
            time.sleep(1)
            start = time.monotonic()
            for i in range(1, count + 1):
                folder = source / f"Table {i % 10 + 1}"
                temp = folder / f".LAT_{i:04d}.JPG.part"
                temp.write_bytes(payloads[i % len(payloads)])
                os.rename(temp, folder / f"LAT_{i:04d}.JPG")
                if not prog.wait_uploaded(i, 30):
                    raise RuntimeError(f"sched: picture {i} was not uploaded")
                time.sleep(rng.uniform(0.08, 0.16))
            elapsed = time.monotonic() - start
            recorder.send_signal(signal.SIGINT)
            window = time.monotonic() - window
            recorder.wait(60)
        finally:
            prog.stop()
    elif mode == "cycle":
        source, mirror, staging = d / "source", d / "mirror", d / "staging"
        for f in (source, mirror, staging):
            f.mkdir()
        shutil.copytree(template, staging / "batch")
        prog = h.Program(d, "p", source, mirror, bench.service.url, event)
        try:
            prog.wait_watcher()
            recorder = subprocess.Popen(record, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            window = time.monotonic()
            time.sleep(1)
            start = time.monotonic()
            os.rename(staging / "batch", source / "batch")
            if not prog.wait_uploaded(count, 300):
                raise RuntimeError(f"sched: only {prog.uploaded} of {count} uploaded")
            elapsed = time.monotonic() - start
            recorder.send_signal(signal.SIGINT)
            window = time.monotonic() - window
            recorder.wait(60)
        finally:
            prog.stop()
    else:
        pictures = d / "pictures"
        shutil.copytree(template, pictures)
        listing = d / "list.txt"
        listing.write_text("\n".join(h.picture_list(pictures)) + "\n")
        recorder = subprocess.Popen(record, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window = time.monotonic()
        time.sleep(1)
        start = time.monotonic()
        subprocess.run([str(h.BIN / "vesk-bench-tight-loop"), "--url", bench.service.url, "--event", event,
                        "--list", str(listing)], check=True, stdout=subprocess.DEVNULL)
        elapsed = time.monotonic() - start
        recorder.send_signal(signal.SIGINT)
        window = time.monotonic() - window
        recorder.wait(60)
    tasks, text = sched_latency(data)
    (OUT / f"sched-latency-{mode}.txt").write_text(text)
    bench.finish_run(event, d)
    return tasks, elapsed, window


def sched_lines(tasks, elapsed, window, count, mine):
    lines = []
    own_delay = 0.0
    for name in mine:
        if name in tasks:
            threads, run, switches, delay = tasks[name]
            own_delay += delay
            lines.append(f"  {name:<16} threads {threads:>4}  run {run / count:6.3f} ms/picture  "
                         f"waited for a CPU {delay / count:6.3f} ms/picture ({switches / count:.1f} times)")
    others = sum(v[1] for k, v in tasks.items() if k not in mine and k not in ("perf", "python3"))
    lines.append(f"  wall {1000.0 * elapsed / count:.3f} ms/picture; these threads waited for a CPU "
                 f"{own_delay / count:.3f} ms/picture; other tasks kept {others / window / 10.0:.0f}% of one "
                 f"core busy while recording ({window:.1f} s)")
    return lines


def sched_section(bench, template, n):
    """The scheduler's view of the cycle, the tight loop and pictures dropped one at a time; a note
    instead when perf cannot record the scheduler here."""
    out = []
    try:
        out.append("")
        out.append("scheduling (perf sched latency, whole machine): time runnable but waiting for a CPU")
        tasks, elapsed, window = run_sched(bench, template, n, "cycle")
        out.append("the cycle:")
        out += sched_lines(tasks, elapsed, window, n,
                           ["scan", "reopen", "vesk-ftpuploade", "watcher", "vesk-photo-serv"])
        tasks, elapsed, window = run_sched(bench, template, n, "tight")
        out.append("the tight libcurl loop:")
        out += sched_lines(tasks, elapsed, window, n, ["vesk-bench-tigh", "vesk-photo-serv"])
        drops = min(n, 40)
        tasks, elapsed, window = run_sched(bench, template, drops, "latency")
        out.append(f"the cycle, {drops} pictures dropped one at a time (per picture; the wall time includes "
                   "the pauses between them):")
        out += sched_lines(tasks, elapsed, window, drops,
                           ["scan", "reopen", "vesk-ftpuploade", "watcher", "vesk-photo-serv"])
        out.append("  (a scan worker is started by a re-open worker and renames itself: perf sched may count "
                   "one thread under both names)")
    except (subprocess.SubprocessError, OSError, RuntimeError, KeyError) as error:
        out.append(f"perf sched: could not record the scheduler here ({error}); skipped")
    return out


# ---- strace -----------------------------------------------------------------------------------

def run_strace(bench, template, count):
    d = bench.next_dir("strace")
    event = bench.event("strace")
    source, mirror, staging = d / "source", d / "mirror", d / "staging"
    for f in (source, mirror, staging):
        f.mkdir()
    shutil.copytree(template, staging / "batch")
    summary = OUT / "strace-summary.txt"
    prog = h.Program(d, "p", source, mirror, bench.service.url, event)
    try:
        prog.wait_watcher()
        tracer = subprocess.Popen(["strace", "-f", "-c", "-o", str(summary), "-p", str(prog.pid)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        os.rename(staging / "batch", source / "batch")
        if not prog.wait_uploaded(count, 300):
            raise RuntimeError(f"strace: only {prog.uploaded} of {count} uploaded")
        time.sleep(0.5)
        tracer.send_signal(signal.SIGINT)
        tracer.wait(60)
    finally:
        prog.stop()
    bench.finish_run(event, d)
    calls = {}
    for line in summary.read_text().splitlines():
        f = line.split()
        if len(f) >= 5 and f[0][0].isdigit() and f[-1] != "total":
            calls[f[-1]] = int(f[3])
    return calls


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--pictures", type=int, default=100)
    parser.add_argument("--skip", default="", help="comma-separated: callgrind,perf,sched,strace")
    parser.add_argument("--link", metavar="MS,KBIT",
                        help="against a service that models a link: --latency MS --rate KBIT (bench/README.md)")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    OUT.mkdir(parents=True, exist_ok=True)
    shm = Path("/dev/shm")
    base = shm if shm.is_dir() and shutil.disk_usage(shm).free > 2 * h.GIB else None
    work = Path(tempfile.mkdtemp(prefix="vesk-profile-", dir=base))
    bench_args = argparse.Namespace(small_count=args.pictures, timeout=300)
    bench = h.Bench(bench_args, work)
    over = ""
    if args.link:
        latency, kbit = args.link.split(",")
        bench.service.stop()
        bench.service = h.Service(work, "service-link", ["--latency", latency, "--rate", kbit])
        over = f" over a modelled link ({latency} ms, {kbit} kbit/s)"
    lines = [f"Profile of the upload cycle: {args.pictures} pictures of 200 KiB dropped at once{over} "
             f"({time.strftime('%Y-%m-%d %H:%M %Z')}, load average {os.getloadavg()[0]:.2f})", ""]
    try:
        template = bench.template("200k", args.pictures, 10, 200 * h.KIB)
        n = args.pictures
        rows = {title: ["", ""] for title, _ in COMPONENTS}
        if "callgrind" not in skip:
            h.log("callgrind ...")
            total, values, elapsed = run_callgrind(bench, template, n)
            lines.append(f"callgrind: {total:,} instructions in all threads while {n} pictures went up "
                         f"({total / n:,.0f} per picture; {elapsed:.1f} s under valgrind)")
            for title, ir in component_values(values):
                rows[title][0] = f"{ir / n:>12,.0f} {100.0 * ir / total:5.1f}%"
        if "perf" not in skip:
            if perf_works():
                h.log("perf ...")
                samples, values, split = run_perf(bench, template, n)
                cpu_ms = samples * 1000.0 / PERF_FREQUENCY
                lines.append(f"perf: {samples} cpu-clock samples at {PERF_FREQUENCY} Hz = {cpu_ms:.0f} ms of CPU "
                             f"({cpu_ms / n:.2f} ms per picture, user and kernel)")
                for title, pct in component_values(values):
                    rows[title][1] = f"{pct * cpu_ms / 100.0 / n:6.3f} ms {pct:5.1f}%"
            else:
                lines.append("perf: the cpu-clock event does not work here; skipped")
        lines.append("")
        lines.append(f"{'component (inclusive; indented rows are inside the one above)':<58} "
                     f"{'instructions/picture':>20}   {'CPU/picture (perf)':>18}")
        for title, _ in COMPONENTS:
            ir, cpu = rows[title]
            lines.append(f"{title:<58} {ir:>20}   {cpu:>18}")
        if "sched" not in skip and perf_works():
            h.log("perf sched ...")
            lines += sched_section(bench, template, n)
        if "strace" not in skip:
            h.log("strace ...")
            calls = run_strace(bench, template, n)
            total_calls = sum(calls.values())
            lines.append("")
            lines.append(f"system calls: {total_calls / n:.0f} per picture; the most frequent: "
                         + ", ".join(f"{k} {v / n:.1f}" for k, v in
                                     sorted(calls.items(), key=lambda kv: -kv[1])[:14]))
    finally:
        bench.service.stop()
        shutil.rmtree(work, ignore_errors=True)
    text = "\n".join(lines) + "\n"
    (OUT / "summary.txt").write_text(text)
    print(text, end="")


if __name__ == "__main__":
    main()
