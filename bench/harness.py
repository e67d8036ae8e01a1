#!/usr/bin/env python3
"""The measurements behind bench/run: throughput, latency, memory, scan cost, threads and the
micro-benchmarks of the uploader, against the substitute photo service on loopback. Prints one
table and writes it to bench/results/latest.txt. See bench/README.md."""

import argparse
import contextlib
import datetime
import hashlib
import json
import math
import os
import platform
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
RESULTS = HERE / "results"
KIB = 1024
MIB = 1024 * 1024
GIB = 1024 * MIB

BIN = Path(os.environ.get("VESK_BENCH_BIN", ROOT / "build-bench" / "bin"))


def now_ms():
    return time.time() * 1000.0


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def percentile(values, p):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def wait_until(predicate, timeout, step=0.005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def count_files(folder):
    total = 0
    for _, _, files in os.walk(folder):
        total += sum(1 for f in files if not f.startswith("."))
    return total


# ---- the substitute service ------------------------------------------------------------------

class Service:
    def __init__(self, work, name="service", extra=(), port=0):
        self.storage = work / name
        self.storage.mkdir(parents=True, exist_ok=True)
        self.log = open(work / f"{name}.log", "ab")
        self.proc = subprocess.Popen(
            [str(BIN / "vesk-photo-service"), "--port", str(port), "--storage", str(self.storage), *extra],
            stdout=subprocess.PIPE, stderr=self.log)
        line = self.proc.stdout.readline().decode().strip()
        if not line.startswith("listening on "):
            raise RuntimeError(f"the photo service did not start: {line!r}")
        self.url = line[len("listening on "):] + "/index.php"
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()
        self.jsonl = self.storage / "uploads.jsonl"

    def uploads(self, event=None):
        records = []
        if not self.jsonl.exists():
            return records
        with open(self.jsonl, "rb") as f:
            for raw in f:
                try:
                    record = json.loads(raw)
                except ValueError:
                    continue  # a line still being written
                if event is None or record.get("fields", {}).get("event") == event:
                    records.append(record)
        return records

    def count(self, event):
        return len(self.uploads(event))

    def purge(self, records):
        """Removes the stored pictures of these uploads (the service keeps every picture)."""
        folders = set()
        for record in records:
            stored = record.get("stored")
            if stored:
                path = Path(stored)
                if not path.is_absolute():
                    path = self.storage / path
                folders.add(path.parent)
                try:
                    path.unlink()
                except OSError:
                    pass
        for folder in folders:
            try:
                folder.rmdir()
            except OSError:
                pass

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


# ---- the uploader ------------------------------------------------------------------------------

def plist_value(value):
    if isinstance(value, bool):
        return "<true/>" if value else "<false/>"
    if isinstance(value, float):
        return f"<real>{value}</real>"
    if isinstance(value, int):
        return f"<integer>{value}</integer>"
    text = str(value).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    return f"<string>{text}</string>"


CONSOLE_LINE = re.compile(
    r"^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3}) Vesk-FTPUploader\[(\d+):(\d+)\] (.*)$")


def parse_console(path):
    """(epoch ms, thread id, message) for every line of the console log that has a prefix."""
    lines = []
    with open(path, "rb") as f:
        for raw in f:
            m = CONSOLE_LINE.match(raw.decode("utf-8", "replace").rstrip("\n"))
            if not m:
                continue
            y, mo, d, h, mi, s, ms = (int(m.group(i)) for i in range(1, 8))
            epoch = time.mktime((y, mo, d, h, mi, s, 0, 0, -1)) * 1000.0 + ms
            lines.append((epoch, int(m.group(9)), m.group(10)))
    return lines


class Program:
    """vesk-ftpuploader --headless with a private profile. Standard output is read line by line
    (each "[uploaded]" line counted as it comes); the console log goes to a file."""

    def __init__(self, work, name, source, mirror, url, event, wrapper=None, start_folder=None, extra_env=None):
        self.profile = work / f"profile-{name}"
        config = self.profile / "config" / "Vesk-FTPUploader"
        config.mkdir(parents=True)
        for sub in ("state", "runtime", "home"):
            (self.profile / sub).mkdir(mode=0o700)
        prefs = {
            "prefLocalSourceUploadFolder": str(source),
            "prefLocalMasterMirrorSiteFolder": str(mirror),
            "userLoginName": "photographer",
            "userLoginPassword": "s3cret",
            "userEnteredEventName": event,
            "prefAutoSynchronize": True,
            "prefSecondsBetweenScans": 3600.0,
            "prefAutoStartUploadAtStartup": False,
            "prefShowWindowAtStartup": False,
        }
        body = "".join(f"\t<key>{k}</key>{plist_value(v)}\n" for k, v in prefs.items())
        plist = config / "preferences.plist"
        plist.write_text(
            '<?xml version="1.0" encoding="UTF-8"?>\n'
            '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
            '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
            f'<plist version="1.0">\n<dict>\n{body}</dict>\n</plist>\n')
        plist.chmod(0o600)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "VESK_UPLOAD_URL")}
        env.update(HOME=str(self.profile / "home"), XDG_CONFIG_HOME=str(self.profile / "config"),
                   XDG_STATE_HOME=str(self.profile / "state"),
                   XDG_RUNTIME_DIR=str(self.profile / "runtime"))
        env.update(extra_env or {})
        self.console_path = self.profile / "console.log"
        self.console = open(self.console_path, "wb")
        cmd = list(wrapper or []) + [str(BIN / "vesk-ftpuploader"), "--headless", "--endpoint", url,
                                     str(start_folder or source)]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.console, env=env)
        self.pid = self.proc.pid
        self.out = []
        self.uploaded = 0
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self._console_offset = 0
        self._console_tail = b""

    def _read(self):
        for raw in self.proc.stdout:
            t = now_ms()
            line = raw.decode("utf-8", "replace")
            with self.cond:
                self.out.append((t, line))
                if line.startswith("[uploaded]") or line.startswith("[problem]"):
                    self.uploaded += 1
                self.cond.notify_all()

    def wait_uploaded(self, n, timeout):
        with self.cond:
            return self.cond.wait_for(lambda: self.uploaded >= n, timeout)

    def console_contains(self, text):
        """Looks for the text in what the console log has gained since the last look."""
        with open(self.console_path, "rb") as f:
            f.seek(self._console_offset)
            chunk = f.read()
        self._console_offset += len(chunk)
        data = self._console_tail + chunk
        found = text.encode() in data
        self._console_tail = data[-4096:]
        return found

    def wait_console(self, text, timeout):
        return wait_until(lambda: self.console_contains(text) or self.proc.poll() is not None,
                          timeout, 0.01) and self.proc.poll() is None

    def wait_watcher(self, timeout=120):
        if not self.wait_console("SET fWatcherRunLoop", timeout):
            raise RuntimeError(f"the uploader's watcher did not come up (see {self.console_path})")

    def status(self):
        values = {}
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                values[key] = rest.strip()
        return values

    def cpu_ms(self):
        """User and system CPU time of every thread so far (also the ended ones), in ms."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        tick = os.sysconf("SC_CLK_TCK")
        return int(fields[11]) * 1000.0 / tick, int(fields[12]) * 1000.0 / tick

    def kb(self, key):
        return int(self.status()[key].split()[0])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        self.console.close()


# ---- pictures ---------------------------------------------------------------------------------

def make_pictures(out, count, folders, size, prefix="IMG_"):
    args = [str(BIN / "vesk-sample-pictures"), "--out", str(out), "--count", str(count),
            "--folders", str(folders), "--prefix", prefix]
    if size:
        args += ["--size", str(size)]
    runtime = Path(out).parent / "runtime-pictures"
    runtime.mkdir(mode=0o700, exist_ok=True)
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=str(runtime)))


def picture_list(folder):
    files = []
    for dirpath, dirnames, names in os.walk(folder):
        dirnames.sort()
        files += [os.path.join(dirpath, n) for n in sorted(names) if not n.startswith(".")]
    return files


# ---- the table --------------------------------------------------------------------------------

class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append(("section", title))

    def row(self, label, value, goal="", ok=None):
        verdict = "" if ok is None else ("PASS" if ok else "MISS")
        self.rows.append(("row", label, value, goal, verdict))

    def note(self, text):
        self.rows.append(("note", text))

    def render(self, header):
        out = list(header)
        width = [46, 30, 26]
        out.append(f"{'figure':<{width[0]}} {'measured':<{width[1]}} {'goal':<{width[2]}} result")
        out.append("-" * (sum(width) + 9))
        for r in self.rows:
            if r[0] == "section":
                out.append("")
                out.append(r[1])
            elif r[0] == "note":
                out.append(f"    note: {r[1]}")
            else:
                _, label, value, goal, verdict = r
                out.append(f"  {label:<{width[0] - 2}} {value:<{width[1]}} {goal:<{width[2]}} {verdict}")
        return "\n".join(out) + "\n"


def fmt(value, digits=1):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    return f"{value:.{digits}f}"


# ---- 1. throughput ----------------------------------------------------------------------------

class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.table = Table()
        self.service = Service(work)
        self.scaled = []
        self.run_id = 0
        self.templates = {}
        self.work_fs = subprocess.run(["stat", "-f", "-c", "%T", str(work)], capture_output=True,
                                      text=True).stdout.strip()

    def next_dir(self, label):
        self.run_id += 1
        d = self.work / f"{self.run_id:03d}-{label}"
        d.mkdir()
        return d

    def event(self, label):
        return f"Bench {self.run_id:03d} {label}"

    def template(self, key, count, folders, size, inside=None):
        if key not in self.templates:
            out = self.work / f"template-{key}"
            log(f"making {count} sample pictures of {size} B in {folders} folders")
            out.mkdir(parents=True)
            make_pictures(out / inside if inside else out, count, folders, size)
            self.templates[key] = out
        return self.templates[key]

    def finish_run(self, event, d):
        self.service.purge(self.service.uploads(event))
        shutil.rmtree(d, ignore_errors=True)

    def cycle_run(self, template, count, label):
        d = self.next_dir(f"cycle-{label}")
        event = self.event(f"cycle {label}")
        source, mirror, staging = d / "source", d / "mirror", d / "staging"
        for f in (source, mirror, staging):
            f.mkdir()
        shutil.copytree(template, staging / "batch")
        prog = Program(d, "p", source, mirror, self.service.url, event)
        try:
            prog.wait_watcher()
            time.sleep(0.2)
            cpu_before = prog.cpu_ms()
            start = now_ms()
            os.rename(staging / "batch", source / "batch")
            done = prog.wait_uploaded(count, self.args.timeout)
            cpu_after = prog.cpu_ms()
            records = self.service.uploads(event)
            if not done or len(records) != count:
                raise RuntimeError(f"cycle {label}: {len(records)} of {count} uploads arrived")
            bad = [r["filename"] for r in records if r.get("outcome") != "ok"]
            if bad:
                raise RuntimeError(f"cycle {label}: the service did not accept {bad[:5]}")
            end = max(r["completedMs"] for r in records)
            wait_until(lambda: count_files(mirror) == count, 10)
            if count_files(mirror) != count:
                raise RuntimeError(f"cycle {label}: only {count_files(mirror)} pictures in the mirror")
        finally:
            prog.stop()
        self.finish_run(event, d)
        cpu = ((cpu_after[0] - cpu_before[0]) / count, (cpu_after[1] - cpu_before[1]) / count)
        return count / ((end - start) / 1000.0), cpu

    def transport_run(self, template, count, label):
        return self.tight_run(template, count, label, "product")

    def tight_run(self, template, count, label, transport="curl"):
        d = self.next_dir(f"tight-{transport}-{label}")
        event = self.event(f"tight {transport} {label}")
        pictures = d / "pictures"
        shutil.copytree(template, pictures)
        listing = d / "list.txt"
        listing.write_text("\n".join(picture_list(pictures)) + "\n")
        result = subprocess.run(
            [str(BIN / "vesk-bench-tight-loop"), "--url", self.service.url, "--event", event, "--list",
             str(listing), "--transport", transport], capture_output=True, text=True, timeout=self.args.timeout)
        values = dict(line.split(" ", 1) for line in result.stdout.splitlines() if " " in line)
        if result.returncode != 0 or int(values.get("ok", 0)) != count:
            raise RuntimeError(f"tight loop {label} failed: {result.stdout} {result.stderr}")
        cpu = (float(values["user_ms"]) / count, float(values["sys_ms"]) / count)
        records = self.service.uploads(event)
        start = float(values["start_ms"])
        end = max(r["completedMs"] for r in records)
        self.finish_run(event, d)
        return count / ((end - start) / 1000.0), cpu

    def shell_run(self, template, count, label):
        d = self.next_dir(f"shell-{label}")
        event = self.event(f"shell {label}")
        source, mirror, staging = d / "source", d / "mirror", d / "staging"
        for f in (source, mirror, staging):
            f.mkdir()
        shutil.copytree(template, staging / "batch")
        errors = d / "shell.err"
        with open(errors, "wb") as err:
            proc = subprocess.Popen([str(HERE / "shell-baseline"), str(source), str(mirror), self.service.url,
                                     event], stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
        try:
            if not wait_until(lambda: b"Watches established." in errors.read_bytes(), 30, 0.01):
                raise RuntimeError("the shell baseline's inotifywait did not start")
            time.sleep(0.2)
            start = now_ms()
            os.rename(staging / "batch", source / "batch")
            # The end time comes from the service, so a slow poll costs nothing but keeps the harness
            # from competing for the CPU with what it measures.
            if not wait_until(lambda: count_files(mirror) >= count, self.args.timeout, 0.1):
                raise RuntimeError(f"shell {label}: only {count_files(mirror)} of {count} moved")
            records = self.service.uploads(event)
            end = max(r["completedMs"] for r in records)
        finally:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait()
        self.finish_run(event, d)
        return count / ((end - start) / 1000.0), None

    def throughput(self):
        t = self.table
        t.section("1. Throughput: pictures through the whole cycle (watcher, scan, EXIF, POST, move)")
        cases = [("200k", self.args.small_count, 200 * KIB, "200 KiB"),
                 ("8m", self.args.large_count, 8 * MIB, "8 MiB")]
        for key, count, size, title in cases:
            template = self.template(key, count, 10, size)
            rates = {"cycle": [], "tight": [], "transport": [], "shell": []}
            cpus = {"cycle": [], "tight": [], "transport": []}
            ratios_tight, ratios_shell, ratios_transport = [], [], []
            runners = [("cycle", self.cycle_run), ("tight", self.tight_run), ("transport", self.transport_run),
                       ("shell", self.shell_run)]
            for rep in range(self.args.repeats):
                order = runners[rep % 4:] + runners[:rep % 4]  # alternate which goes first
                got = {}
                for name, runner in order:
                    got[name], cpu = runner(template, count, key)
                    rates[name].append(got[name])
                    if cpu:
                        cpus[name].append(cpu)
                ratios_tight.append(got["cycle"] / got["tight"])
                ratios_shell.append(got["cycle"] / got["shell"])
                ratios_transport.append(got["transport"] / got["tight"])
                log(f"throughput {title} rep {rep + 1}: "
                    + ", ".join(f"{n} {got[n]:.1f}/s" for n in ("cycle", "tight", "transport", "shell")))
            med = {n: statistics.median(v) for n, v in rates.items()}
            rt, rs = statistics.median(ratios_tight), statistics.median(ratios_shell)
            t.row(f"{count} x {title}, 10 folders: cycle", f"{fmt(med['cycle'])} pictures/s")
            t.row("  tight libcurl loop (one connection)", f"{fmt(med['tight'])} pictures/s")
            t.row("  the same loop through HttpTransfer", f"{fmt(med['transport'])} pictures/s",
                  f"(x{fmt(statistics.median(ratios_transport), 2)} of the libcurl loop)")
            t.row("  shell: inotifywait + curl -F + mv", f"{fmt(med['shell'])} pictures/s")
            for name, title in (("cycle", "cycle"), ("tight", "tight loop"), ("transport", "HttpTransfer loop")):
                user = statistics.median(c[0] for c in cpus[name])
                system = statistics.median(c[1] for c in cpus[name])
                wall = 1000.0 / med[name]
                t.row(f"  {title}: per picture wall / CPU", f"{fmt(wall, 2)} / {fmt(user + system, 2)} ms",
                      f"(user {fmt(user, 2)}, sys {fmt(system, 2)})")
            if key == "200k":
                t.row("  cycle / tight loop", fmt(rt, 2), ">= 0.9", rt >= 0.9)
                t.row("  cycle / tight loop (earlier goal)", fmt(rt, 2), ">= 0.7", rt >= 0.7)
                t.row("  cycle / shell", fmt(rs, 2), ">= 3", rs >= 3)
            else:
                t.row("  cycle / tight loop", fmt(rt, 2), "(no goal)")
                t.row("  cycle / shell", fmt(rs, 2), "(no goal)")
            spread = " ".join(f"{n} {min(v):.1f}-{max(v):.1f}" for n, v in rates.items())
            t.note(f"median of {self.args.repeats} interleaved runs; ratios are medians of the per-run "
                   f"ratios; range pictures/s: {spread}")
            self.write_partial()

    # ---- 2. latency ---------------------------------------------------------------------------

    def latency(self):
        t = self.table
        t.section("2. Latency: picture appears (rename / close) -> service has the request head (receivedMs)")
        template = self.template("200k", self.args.small_count, 10, 200 * KIB)
        payloads = [Path(p).read_bytes() for p in picture_list(template)[:10]]
        d = self.next_dir("latency")
        event = self.event("latency")
        source, mirror = d / "source", d / "mirror"
        mirror.mkdir()
        for k in range(1, 11):
            (source / f"Table {k}").mkdir(parents=True)
        prog = Program(d, "p", source, mirror, self.service.url, event)
        drops = []  # (name, epoch ms when it appeared, how)
        rng = random.Random(7)
        try:
            prog.wait_watcher()
            time.sleep(0.3)
            n = 0
            for how, count in (("rename", self.args.latency_count), ("in-place", self.args.latency_inplace)):
                for i in range(count):
                    n += 1
                    folder = source / f"Table {n % 10 + 1}"
                    name = f"LAT_{n:04d}.JPG"
                    data = payloads[n % len(payloads)]
                    if how == "rename":
                        temp = folder / f".{name}.part"
                        with open(temp, "wb") as f:
                            f.write(data)
                        appeared = now_ms()
                        os.rename(temp, folder / name)
                    else:
                        with open(folder / name, "wb") as f:
                            for k in range(0, len(data), 64 * KIB):
                                f.write(data[k:k + 64 * KIB])
                                f.flush()
                        appeared = now_ms()
                    drops.append((name, appeared, how))
                    if not prog.wait_uploaded(n, 30):
                        raise RuntimeError(f"latency: {name} was not uploaded within 30 s")
                    time.sleep(rng.uniform(0.08, 0.16))  # the follow-up pass ends; the program idles
        finally:
            prog.stop()
        records = self.service.uploads(event)
        received = {r["filename"]: r["receivedMs"] for r in records}
        digests = {name: hashlib.sha256(payloads[int(name[4:8]) % len(payloads)]).hexdigest()
                   for name, _, _ in drops}
        damaged = [r["filename"] for r in records if r.get("sha256") != digests.get(r["filename"])]
        if damaged:
            t.note(f"{len(damaged)} uploads differ from the picture written: {damaged[:5]}")
        console = parse_console(prog.console_path)
        self.finish_run(event, d)

        for how, goal_check in (("rename", True), ("in-place", False)):
            series = [(name, appeared) for name, appeared, h in drops if h == how]
            if not series:
                continue
            lat = [received[name] - appeared for name, appeared in series]
            med, p95, mx = statistics.median(lat), percentile(lat, 95), max(lat)
            title = ("hidden temp file renamed into a sub-folder" if how == "rename"
                     else "written in place and closed")
            t.row(f"{len(series)} pictures, {title}", "")
            t.row("  median", f"{fmt(med)} ms", "<= 50 ms" if goal_check else "(same goal)", med <= 50)
            t.row("  95th percentile", f"{fmt(p95)} ms", "<= 200 ms" if goal_check else "(same goal)", p95 <= 200)
            t.row("  maximum", f"{fmt(mx)} ms")
            stages = latency_stages(series, console, received)
            if stages:
                t.note("where it goes (median ms after the picture appeared): "
                       + ", ".join(f"{k} {fmt(v)}" for k, v in stages))
        self.write_partial()

    # ---- 3. memory ----------------------------------------------------------------------------

    def memory(self):
        t = self.table
        t.section("3. Memory: peak resident size (VmHWM) of the program uploading one picture")
        sizes = [("5 MB", 5 * MIB), ("500 MB", 500 * MIB), ("2 GB", 2 * GIB)]
        free = shutil.disk_usage(self.work).free
        if free < 3 * 2 * GIB:
            sizes[-1] = ("1 GB", GIB)
            self.scaled.append(f"memory: only {free // GIB} GiB free on disk, the largest picture is 1 GiB")
        template = self.template("200k", self.args.small_count, 10, 200 * KIB)
        first = picture_list(template)[0]
        peaks = {}
        for label, size in sizes:
            d = self.next_dir(f"memory-{label.replace(' ', '')}")
            event = self.event(f"memory {label}")
            source, mirror, staging = d / "source", d / "mirror", d / "staging"
            for f in (mirror, staging, source / "Table 1"):
                f.mkdir(parents=True)
            picture = staging / "MEM_0001.JPG"
            shutil.copyfile(first, picture)
            os.truncate(picture, size)  # the rest is a hole: quick to make, read as zeros
            prog = Program(d, "p", source, mirror, self.service.url, event)
            try:
                prog.wait_watcher()
                time.sleep(0.3)
                idle = prog.kb("VmHWM")
                os.rename(picture, source / "Table 1" / picture.name)
                if not prog.wait_uploaded(1, self.args.timeout):
                    raise RuntimeError(f"memory: the {label} picture was not uploaded")
                peak = prog.kb("VmHWM")
            finally:
                prog.stop()
            self.finish_run(event, d)
            peaks[label] = (idle, peak)
            log(f"memory {label}: idle {idle} kB, peak {peak} kB")
        base = peaks[sizes[0][0]][1]
        for label, _ in sizes:
            idle, peak = peaks[label]
            if label == sizes[0][0]:
                t.row(f"{label} picture", f"{fmt(peak / 1024)} MiB (idle {fmt(idle / 1024)})")
            else:
                grow = (peak - base) / 1024
                t.row(f"{label} picture", f"{fmt(peak / 1024)} MiB ({grow:+.1f} vs 5 MB)", "within 30 MB of 5 MB",
                      abs(grow) <= 30)
        self.write_partial()

    # ---- 4. scan cost -------------------------------------------------------------------------

    def build_tree(self, root, kind, n, picture):
        """A source folder whose only eligible picture lies behind n entries the walk must pass."""
        root.mkdir(parents=True)
        if kind == "emptied":
            for i in range(1, n + 1):
                (root / f"Table {i:05d}").mkdir()
            target = root / "zz"
        elif kind == "hidden":
            target = root / "Table 1"
            target.mkdir()
            for i in range(1, n + 1):
                (target / f".IMG_{i:05d}.JPG").touch()
        else:  # files directly in the source folder, which are never uploaded
            for i in range(1, n + 1):
                (root / f"IMG_{i:05d}.JPG").touch()
            target = root / "Table 1"
        target.mkdir(exist_ok=True)
        shutil.copyfile(picture, target / "IMG_0001.JPG")
        return target

    def walk_alone(self, cases):
        """Median walk times (ms) for each (kind, n), the trees walked in turns."""
        d = self.next_dir("walk")
        template = self.template("200k", self.args.small_count, 10, 200 * KIB)
        args = [str(BIN / "vesk-bench-walk"), str(self.args.walk_passes)]
        for kind, n in cases:
            tree = d / f"{kind}-{n}"
            self.build_tree(tree / "source", kind, n, picture_list(template)[0])
            (tree / "mirror").mkdir()
            args += [str(tree / "source"), str(tree / "mirror")]
        result = subprocess.run(args, capture_output=True, text=True, check=True)
        shutil.rmtree(d, ignore_errors=True)
        times = {}
        for line in result.stdout.splitlines():
            f = line.split()
            values = dict(zip(f[0::2], f[1::2]))
            kind, n = cases[int(values["tree"])]
            if not line.rstrip().endswith("IMG_0001.JPG"):
                raise RuntimeError(f"walk {kind} {n}: {line}")
            times[(kind, n)] = float(values["median_us"]) / 1000.0
        return times

    def program_passes(self, kind, n, drops):
        """Pass times in the program: from the pass's first trace line to the line right after the
        walk, for the passes that found a picture and for the empty passes."""
        d = self.next_dir(f"passes-{kind}-{n}")
        event = self.event(f"passes {kind} {n}")
        template = self.template("200k", self.args.small_count, 10, 200 * KIB)
        pictures = picture_list(template)
        target = self.build_tree(d / "source", kind, n, pictures[0])
        mirror, staging = d / "mirror", d / "staging"
        mirror.mkdir()
        staging.mkdir()
        prog = Program(d, "p", d / "source", mirror, self.service.url, event)
        try:
            prog.wait_watcher(300)
            if not prog.wait_uploaded(1, 60):
                raise RuntimeError(f"passes {kind} {n}: the first picture was not uploaded")
            for i in range(drops):
                time.sleep(0.25)
                shutil.copyfile(pictures[1 + i], staging / f"PASS_{i:03d}.JPG")
                os.rename(staging / f"PASS_{i:03d}.JPG", target / f"PASS_{i:03d}.JPG")
                if not prog.wait_uploaded(2 + i, 60):
                    raise RuntimeError(f"passes {kind} {n}: picture {i} was not uploaded")
            time.sleep(0.5)
        finally:
            prog.stop()
        console = parse_console(prog.console_path)
        self.finish_run(event, d)
        found, empty = [], []
        start = {}
        for epoch, tid, message in console:
            if message.startswith("Inside AppController => scanFolderOnMainThread"):
                start[tid] = epoch
            elif tid in start and message.startswith("====> Setting CLIENT NAME"):
                found.append(epoch - start.pop(tid))
            elif tid in start and message.startswith("No more images to upload"):
                empty.append(epoch - start.pop(tid))
        # The first passes build the mirror's folders; the steady state is what repeats.
        found, empty = found[1:], empty[1:]
        return (statistics.median(found) if found else float("nan"),
                statistics.median(empty) if empty else float("nan"))

    def scan(self):
        t = self.table
        t.section("4. Scan cost: one pass finding the next picture behind N entries")
        big, small = self.args.scan_n, self.args.scan_n // 10
        walk = self.walk_alone([(kind, n) for kind in ("emptied", "hidden", "root") for n in (small, big)])
        log("walk: " + ", ".join(f"{k} {n} {v:.2f} ms" for (k, n), v in walk.items()))
        labels = {"emptied": "emptied sub-folders", "hidden": "hidden files in one sub-folder",
                  "root": "files directly in the source folder"}
        t.row("walk alone (FolderWalk::findFirst, median pass)", "")
        for kind in ("emptied", "hidden", "root"):
            ms = walk[(kind, big)]
            growth = walk[(kind, big)] / walk[(kind, small)]
            exponent = math.log(growth) / math.log(10) if growth > 0 else float("nan")
            if kind == "emptied":
                t.row(f"  behind {big:,} {labels[kind]}", f"{fmt(ms, 2)} ms", "<= 20 ms", ms <= 20)
            else:
                t.row(f"  behind {big:,} {labels[kind]}", f"{fmt(ms, 2)} ms")
            t.row(f"    growth {small:,} -> {big:,}", f"x{fmt(growth, 1)} (exponent {fmt(exponent, 2)})",
                  "no faster than linear" if kind == "emptied" else "", exponent <= 1.1 if kind == "emptied" else None)
        t.note(f"median of {self.args.walk_passes - 1} passes after the first (which also makes the mirror's "
               "folders), the six trees walked in turns; growth: linear is x10 (exponent 1.00), PASS allows "
               "up to exponent 1.10 for timing noise")

        t.row("in the program (pass trace line -> line after the walk)", "")
        passes = {}
        for kind, n in (("emptied", small), ("emptied", big), ("hidden", big), ("root", big)):
            passes[(kind, n)] = self.program_passes(kind, n, self.args.pass_drops)
            log(f"program passes {kind} {n}: found {passes[(kind, n)][0]:.1f} ms, empty {passes[(kind, n)][1]:.1f} ms")
        for kind, n in (("emptied", big), ("hidden", big), ("root", big)):
            found, empty = passes[(kind, n)]
            goal = "<= 20 ms" if kind == "emptied" else ""
            t.row(f"  behind {n:,} {labels[kind]}", f"{fmt(found)} ms (empty pass {fmt(empty)})", goal,
                  found <= 20 if kind == "emptied" else None)
        growth = passes[("emptied", big)][0] / passes[("emptied", small)][0] if passes[("emptied", small)][0] else float("nan")
        t.row(f"    emptied: growth {small:,} -> {big:,}", f"x{fmt(growth, 1)}")
        t.note(f"program pass times have 1 ms resolution (console time stamps); medians over {self.args.pass_drops} "
               "dropped pictures after the first pass")
        self.write_partial()

    # ---- 5. threads ---------------------------------------------------------------------------

    def threads(self):
        t = self.table
        t.section("5. Threads: peak thread count during a burst of pictures copied at once")
        count = self.args.burst_count
        d = self.next_dir("threads")
        event = self.event("threads")
        small = self.template("burst", 100, 10, 0)
        staging = d / "staging" / "burst"
        originals = picture_list(small)
        for i in range(count):
            folder = staging / f"Table {i % 10 + 1}"
            folder.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(originals[i % len(originals)], folder / f"BURST_{i + 1:04d}.JPG")
        source, mirror = d / "source", d / "mirror"
        source.mkdir()
        mirror.mkdir()
        prog = Program(d, "p", source, mirror, self.service.url, event)
        try:
            prog.wait_watcher()
            sampler = subprocess.Popen([str(BIN / "vesk-bench-sampler"), str(prog.pid), "250"],
                                       stdout=subprocess.PIPE, text=True)
            time.sleep(0.2)
            start = now_ms()
            subprocess.run(["cp", "-r", str(staging), str(source)], check=True)
            copied = now_ms()
            done = prog.wait_uploaded(count, self.args.timeout)
            end = now_ms()
            sampler.send_signal(signal.SIGTERM)
            values = dict(line.split(" ", 1) for line in sampler.communicate(timeout=10)[0].splitlines())
            if not done:
                raise RuntimeError(f"threads: only {prog.uploaded} of {count} uploaded")
        finally:
            prog.stop()
        self.finish_run(event, d)
        peak = int(values["peak_threads"])
        t.row(f"{count} pictures (cp -r into the source folder)", f"{peak} threads at peak", "< 50", peak < 50)
        t.note(f"copy took {fmt((copied - start) / 1000, 2)} s, all uploaded after {fmt((end - start) / 1000, 1)} s; "
               f"{values['samples']} samples of /proc/PID/status, 0.25 ms apart")
        self.write_partial()

    # ---- 9. watching it run --------------------------------------------------------------------

    @staticmethod
    def channel_request(path, line, timeout=10.0):
        """One request line over the command channel: (ms until the reply line, the reply)."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(str(path))
            started = time.perf_counter()
            s.sendall(line + b"\n")
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
            return (time.perf_counter() - started) * 1000.0, json.loads(reply or b"{}")

    def watching_run(self, template, count, label, listeners=0, probe=False):
        """A batch through the cycle with event listeners attached (each reads every line) and,
        with probe, status requests every 20 ms meanwhile: pictures/s, the status times, the lines
        each listener got."""
        d = self.next_dir(f"watching-{label}")
        event = self.event(f"watching {label}")
        source, mirror, staging = d / "source", d / "mirror", d / "staging"
        for f in (source, mirror, staging):
            f.mkdir()
        shutil.copytree(template, staging / "batch")
        prog = Program(d, "p", source, mirror, self.service.url, event)
        path = prog.profile / "runtime" / "Vesk-FTPUploader" / "command.sock"
        streams, counts, times, metrics_times = [], [], [], []
        done = threading.Event()

        def listen(s, i):
            with s.makefile("rb") as lines:
                for _ in lines:
                    counts[i] += 1

        def poll():
            while not done.is_set():
                times.append(self.channel_request(path, b'{"class":"vesk","id":"stat"}')[0])
                metrics_times.append(self.channel_request(path, b'{"class":"vesk","id":"metr"}')[0])
                time.sleep(0.02)
        try:
            prog.wait_watcher()
            for i in range(listeners):
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.connect(str(path))
                s.sendall(b'{"class":"vesk","id":"evts"}\n')
                streams.append(s)
                counts.append(0)
                threading.Thread(target=listen, args=(s, i), daemon=True).start()
            stat = b'{"class":"vesk","id":"stat"}'
            if not wait_until(lambda: self.channel_request(path, stat)[1]["status"]["listeners"] == listeners, 10, 0.05):
                raise RuntimeError(f"watching {label}: the event listeners did not register")
            time.sleep(0.2)
            start = now_ms()
            os.rename(staging / "batch", source / "batch")
            prober = threading.Thread(target=poll, daemon=True)
            if probe:
                prober.start()
            ok = prog.wait_uploaded(count, self.args.timeout)
            done.set()
            if probe:
                prober.join(15)
            records = self.service.uploads(event)
            if not ok or len(records) != count:
                raise RuntimeError(f"watching {label}: {len(records)} of {count} uploads arrived")
            end = max(r["completedMs"] for r in records)
            wait_until(lambda: all(c >= count for c in counts), 10)
        finally:
            done.set()
            prog.stop()
            for s in streams:
                s.close()
        self.finish_run(event, d)
        self.metrics_times = metrics_times
        return count / ((end - start) / 1000.0), times, counts

    def watching(self):
        t = self.table
        t.section("9. Watching it run: the status request and the event stream while pictures upload")
        burst = self.template("burst1000", self.args.burst_count, 10, 0)
        _, times, _ = self.watching_run(burst, self.args.burst_count, "status", probe=True)
        p95 = percentile(times, 95)
        t.row(f"status request while {self.args.burst_count} pictures upload: median / 95th percentile / max",
              f"{fmt(statistics.median(times), 2)} / {fmt(p95, 2)} / {fmt(max(times), 2)} ms", "95th ≤ 10 ms",
              p95 <= 10)
        m = self.metrics_times
        p95 = percentile(m, 95)
        t.row(f"metrics request (vesk-ctl metrics) meanwhile: median / 95th percentile / max",
              f"{fmt(statistics.median(m), 2)} / {fmt(p95, 2)} / {fmt(max(m), 2)} ms", "95th ≤ 10 ms", p95 <= 10)
        t.note(f"{len(times)} requests of each kind, one pair every 20 ms, each on a new connection (connect, "
               "request, reply)")
        template = self.template("200k", self.args.small_count, 10, 200 * KIB)
        count = self.args.small_count
        rates = {0: [], 2: []}
        lines = []
        for rep in range(self.args.repeats):
            for listeners in ((0, 2) if rep % 2 == 0 else (2, 0)):
                rate, _, counts = self.watching_run(template, count, f"events{listeners}-{rep}", listeners)
                rates[listeners].append(rate)
                lines += counts
        none, two = statistics.median(rates[0]), statistics.median(rates[2])
        ratio = two / none
        t.row(f"{count} pictures of 200 KiB: two event listeners / none", f"{fmt(two)} / {fmt(none)} pictures/s = "
              f"{fmt(ratio, 3)}", "≥ 0.95", ratio >= 0.95)
        t.note(f"{self.args.repeats} repetitions each, interleaved; every listener got {min(lines)} to "
               f"{max(lines)} lines")
        self.write_partial()

    # ---- micro-benchmarks ---------------------------------------------------------------------

    def micro(self):
        t = self.table
        t.section("6. Micro-benchmarks (Google Benchmark, median of 3 repetitions)")
        template = self.template("200k", self.args.small_count, 10, 200 * KIB)
        picture = picture_list(template)[0]
        result = subprocess.run(
            [str(BIN / "vesk-bench-micro"), "--benchmark_format=json",
             "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
             f"--benchmark_min_time={self.args.micro_time}"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True,
            env=dict(os.environ, VESK_BENCH_PICTURE=picture))
        report = json.loads(result.stdout[result.stdout.index("{"):])
        titles = {
            "BM_MultipartPrefix": "request body prefix (multipartPrefix)",
            "BM_MultipartPrefixSuffixType": "  prefix + suffix + content type",
            "BM_InterpretReply": "reply parsing (interpretReply)",
            "BM_InterpretReplyForLog": "  with the logged details (as used)",
            "BM_DecodeReply": "  decoding only (decodeReply)",
            "BM_CaptureDate": "EXIF capture date (GetAndUpdateFileCreationDate)",
            "BM_ReadAnnotation": "EXIF annotation (readPictureAnnotation)",
            "BM_ExifBoth": "  both, as one pass reads them",
            "BM_WriterCheck": "writer check (checkWriter: open + lease)",
            "BM_OpenPicture": "re-opening the chosen picture (OpenedPicture::open)",
            "BM_ConsoleLogLine": "one console line (to /dev/null)",
        }
        for b in report["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            name = b["run_name"]
            unit = b.get("time_unit", "ns")
            scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}[unit]
            ns = b["real_time"] * scale
            shown = f"{ns / 1000:.1f} us" if ns >= 10000 else f"{ns:.0f} ns"
            t.row(titles.get(name, name), shown)
        self.write_partial()

    # ---- 7. modelled links, 8. HTTPS -----------------------------------------------------------

    @contextlib.contextmanager
    def serving(self, service, env=None):
        """Points the runners (and the programs they start) at another service for a while."""
        saved_service, saved_env = self.service, dict(os.environ)
        self.service = service
        os.environ.update(env or {})
        try:
            yield
        finally:
            self.service = saved_service
            os.environ.clear()
            os.environ.update(saved_env)

    def links(self):
        t = self.table
        t.section("7. Over a modelled venue link (vesk-photo-service --latency MS --rate KBIT)")
        sizes = [("link-200k", self.args.link_small, 200 * KIB, "200 KiB"),
                 ("link-8m", self.args.link_large, 8 * MIB, "8 MiB")]
        runners = [("cycle", self.cycle_run), ("tight", self.tight_run), ("shell", self.shell_run)]
        for n, (latency, kbit) in enumerate(((20, 50_000), (80, 10_000))):
            service = Service(self.work, f"service-link-{latency}", ["--latency", str(latency), "--rate", str(kbit)])
            try:
                with self.serving(service):
                    for key, count, size, title in sizes:
                        template = self.template(key, count, min(10, count), size)
                        # The link alone: every body at the rate, every answer but the last held back.
                        floor_s = count * size * 8 / (kbit * 1000.0) + (count - 1) * latency / 1000.0
                        # Short runs are repeated (interleaved, --repeats times), long ones run once: the
                        # link's time dominates them and they would cost minutes.
                        repeats = self.args.repeats if floor_s < 5 else 1
                        rates, ratios_tight, ratios_shell = {}, [], []
                        for rep in range(repeats):
                            order = runners[(n + rep) % 3:] + runners[:(n + rep) % 3]
                            got = {name: runner(template, count, key)[0] for name, runner in order}
                            for name, value in got.items():
                                rates.setdefault(name, []).append(value)
                            ratios_tight.append(got["cycle"] / got["tight"])
                            ratios_shell.append(got["cycle"] / got["shell"])
                            log(f"link {latency} ms {kbit} kbit/s {title} rep {rep + 1}: "
                                + ", ".join(f"{k} {v:.2f}/s" for k, v in got.items())
                                + f", link alone {count / floor_s:.2f}/s")
                        med = {name: statistics.median(v) for name, v in rates.items()}
                        rt, rs = statistics.median(ratios_tight), statistics.median(ratios_shell)
                        runs = f"{repeats} runs" if repeats > 1 else "1 run"
                        t.row(f"{latency} ms, {kbit / 1000:g} Mbit/s, {count} x {title}: cycle",
                              f"{fmt(med['cycle'], 2)} pictures/s", f"({runs})")
                        t.row("  tight libcurl loop (one connection)", f"{fmt(med['tight'], 2)} pictures/s")
                        t.row("  shell: inotifywait + curl -F + mv", f"{fmt(med['shell'], 2)} pictures/s")
                        t.row("  the link alone (size / rate + latency)", f"{fmt(count / floor_s, 2)} pictures/s")
                        t.row("  cycle / tight loop", fmt(rt, 3), ">= 0.95", rt >= 0.95)
                        t.row("  cycle / shell", fmt(rs, 2))
            finally:
                service.stop()
        t.note(f"medians and medians of the per-run ratios where a case ran {self.args.repeats} times (interleaved, "
               "the first one rotating); the service holds each answer back by the latency and reads each body at the "
               "rate (bench/README.md says what the model leaves out)")
        self.write_partial()
        self.https()

    def https(self):
        t = self.table
        t.section("8. HTTPS on loopback (a throw-away CA named with VESK_CA_FILE) against plain http")
        certificates = self.work / "certificates"
        ca = subprocess.run([str(ROOT / "scripts" / "make-test-certificates"), str(certificates)],
                            check=True, capture_output=True, text=True).stdout.strip()
        service = Service(self.work, "service-https", ["--tls-cert", str(certificates / "server.pem"),
                                                        "--tls-key", str(certificates / "server.key")])
        sizes = [("https-200k", self.args.https_small, 200 * KIB, "200 KiB"),
                 ("https-8m", self.args.https_large, 8 * MIB, "8 MiB")]
        try:
            for key, count, size, title in sizes:
                template = self.template(key, count, 10, size)
                rates, ratios, connections = {}, {"http": [], "https": []}, {}
                for rep in range(self.args.https_repeats):
                    got = {}
                    for scheme in (("http", "https") if rep % 2 == 0 else ("https", "http")):
                        target = service if scheme == "https" else self.service
                        with self.serving(target, {"VESK_CA_FILE": ca} if scheme == "https" else {}):
                            for variant, runner in (("cycle", self.cycle_run), ("tight", self.tight_run)):
                                before = len(target.uploads())
                                got[(scheme, variant)] = runner(template, count, key)[0]
                                peers = {r.get("peer") for r in target.uploads()[before:]}
                                connections[(scheme, variant)] = max(connections.get((scheme, variant), 0),
                                                                     len(peers))
                                rates.setdefault((scheme, variant), []).append(got[(scheme, variant)])
                        ratios[scheme].append(got[(scheme, "cycle")] / got[(scheme, "tight")])
                    log(f"https {title} rep {rep + 1}: "
                        + ", ".join(f"{s} {v} {got[(s, v)]:.1f}/s" for s, v in sorted(got)))
                med = {k: statistics.median(v) for k, v in rates.items()}
                r_http, r_https = statistics.median(ratios["http"]), statistics.median(ratios["https"])
                t.row(f"{count} x {title} over https: cycle", f"{fmt(med[('https', 'cycle')])} pictures/s")
                t.row("  tight libcurl loop over https", f"{fmt(med[('https', 'tight')])} pictures/s")
                t.row("  the same over http: cycle / tight loop",
                      f"{fmt(med[('http', 'cycle')])} / {fmt(med[('http', 'tight')])} pictures/s")
                t.row("  cycle / tight loop over https", fmt(r_https, 2), f">= http ({fmt(r_http, 2)})",
                      r_https >= r_http)
                t.row("  connections (TLS handshakes) per run",
                      f"cycle {connections[('https', 'cycle')]}, tight {connections[('https', 'tight')]}",
                      "1 (kept open)", connections[("https", "cycle")] == 1)
            t.note(f"median of {self.args.https_repeats} interleaved runs; ratios are medians of the per-run "
                   "ratios; connections counted from the client ports the service saw")
        finally:
            service.stop()
        self.write_partial()

    # ---- output -------------------------------------------------------------------------------

    def header(self):
        cpu = "unknown"
        try:
            for line in open("/proc/cpuinfo"):
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        except OSError:
            pass
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
        return [
            "Vesk-FTPUploader benchmark (bench/run)",
            f"date: {self.started:%Y-%m-%d %H:%M:%S %Z}   machine: {platform.node()}, nproc {os.cpu_count()}, "
            f"CPU {cpu}, kernel {platform.release()}",
            f"load average at start: {self.load_at_start}   at end: {load}   build: "
            + ("Release (build-bench/)" if BIN == ROOT / "build-bench" / "bin" else str(BIN)),
            f"work folder: {self.work} ({self.work_fs})",
        ]

    # ---- 10. recovery after an outage ----------------------------------------------------------

    def recovery_run(self, template, count, outage, label):
        """The service stops; pictures arrive; after the outage it starts again on the same port.
        Answers the ms from its listening again to the first waiting picture's upload completed."""
        d = self.next_dir(f"recovery-{label}")
        event = self.event(f"recovery {label}")
        source, mirror = d / "source", d / "mirror"
        for f in (source, mirror):
            f.mkdir()
        service = Service(d, "service")
        port = int(service.url.rsplit(":", 1)[1].split("/")[0])
        prog = Program(d, "p", source, mirror, service.url, event)
        try:
            prog.wait_watcher()
            service.stop()
            shutil.copytree(template, source / "batch")
            if not wait_until(lambda: any(line.startswith("[away]") for _, line in list(prog.out)), 60, 0.01):
                raise RuntimeError(f"recovery {label}: the program did not find the service away")
            time.sleep(outage)
            service = Service(d, "service", port=port)
            back = now_ms()
            if not prog.wait_uploaded(count, self.args.timeout):
                raise RuntimeError(f"recovery {label}: not every picture arrived after the outage")
            records = service.uploads(event)
            if len(records) != count or any(r.get("outcome") != "ok" for r in records):
                raise RuntimeError(f"recovery {label}: {len(records)} of {count} uploads accepted")
            attempts = sum(1 for _, line in prog.out if line.startswith("[away]"))
            first = min(r["completedMs"] for r in records)
        finally:
            prog.stop()
            service.stop()
        shutil.rmtree(d, ignore_errors=True)
        return first - back, attempts

    def recovery(self):
        t = self.table
        t.section("10. Recovery after an outage: the service stops, pictures arrive, it starts again")
        template = self.template("1m", 5, 1, MIB)
        for outage, name in ((10, "10 s"), (120, "2 min")):
            outage = outage if not self.args.quick else outage / 10
            runs = [self.recovery_run(template, 5, outage, f"{int(outage)}s-{rep}") for rep in range(3)]
            times = sorted(r[0] for r in runs)
            median = statistics.median(times)
            t.row(f"after {name} away, 5 pictures of 1 MiB waiting: from the service listening again to the first "
                  f"upload, median of 3", f"{fmt(median / 1000.0, 2)} s (runs {', '.join(fmt(x / 1000.0, 2) for x in times)})",
                  "≤ 5 s", median <= 5000)
            t.note(f"uploads tried while away: {max(r[1] for r in runs)} per run (the one that found it away)")
        self.write_partial()

    # ---- 11. another user's churn in the source tree -----------------------------------------

    # Files are made with the shell's own redirection and removed twenty at a time, so that the
    # loop is not held back by starting rm for each file.
    CHURN_LOOP = r"""
n=$#; dirs=("$@"); i=0; end=$((SECONDS + CHURN_SECONDS))
while (( SECONDS < end )); do
    d="${dirs[i % n]}"; made=()
    for k in {1..20}; do : > "$d/.churn-$i-$k.tmp"; made+=("$d/.churn-$i-$k.tmp"); done
    rm -f "${made[@]}"
    i=$((i + 1))
done
echo "$((i * 20))"
"""

    def churn(self):
        t = self.table
        t.section("11. Churn: another user creates and deletes files in the watched tree, the program idle")
        groups, seconds = self.args.churn_groups, self.args.churn_seconds
        d = self.next_dir("churn")
        event = self.event("churn")
        source, mirror = d / "source", d / "mirror"
        mirror.mkdir()
        leaves = []
        for g in range(groups):
            for f in range(100):
                leaves.append(source / f"Card {g:02d}" / f"Folder {f:03d}")
                leaves[-1].mkdir(parents=True)
        picture = picture_list(self.template("churn1", 1, 1, 200 * KIB))[0]
        # A picture the mirror cannot take (a file stands where its folder must go): sent once, its
        # move is then tried again at most once a minute, however many passes the churn causes.
        (source / "Blocked").mkdir()
        shutil.copyfile(picture, source / "Blocked" / "IMG_0001.JPG")
        (mirror / "Blocked").write_text("a file, not a folder")
        prog = Program(d, "p", source, mirror, self.service.url, event)
        message_log = prog.profile / "state" / "Vesk-FTPUploader" / "Vesk-FTPUploaderLog.txt"
        sizes = lambda: (message_log.stat().st_size, prog.console_path.stat().st_size)
        try:
            if not prog.wait_uploaded(1, 60):
                raise RuntimeError("churn: the blocked picture was not sent")
            prog.wait_watcher()
            time.sleep(1.0)  # the first pass's own lines are written
            log0, err0 = sizes()
            user0, sys0 = prog.cpu_ms()
            started = time.monotonic()
            loop = subprocess.Popen(["bash", "-c", self.CHURN_LOOP.replace("CHURN_SECONDS", str(seconds)), "churn"]
                                    + [str(p) for p in leaves], stdout=subprocess.PIPE, text=True)
            # A picture dropped halfway through must still go out promptly.
            time.sleep(seconds / 2)
            target = leaves[len(leaves) // 2]
            temp = target / ".DROP_0001.JPG.part"
            shutil.copyfile(picture, temp)
            appeared = now_ms()
            os.rename(temp, target / "DROP_0001.JPG")
            drop = lambda: [r for r in self.service.uploads(event) if r.get("filename") == "DROP_0001.JPG"]
            uploaded = wait_until(drop, seconds, 0.01)
            dropped = drop()[0]["receivedMs"] - appeared if uploaded else float("nan")
            operations = int(loop.communicate()[0].strip() or 0)
            churned = time.monotonic() - started
            time.sleep(2.0)  # what the churn left to do
            user1, sys1 = prog.cpu_ms()
            log1, err1 = sizes()
            with open(prog.console_path, "rb") as f:
                f.seek(err0)
                moves = f.read(err1 - err0).count(f"] \nmoveFileToPath2\rFROM fullSourcePath: {source}/Blocked/".encode())
        finally:
            prog.stop()
        self.finish_run(event, d)
        cpu = (user1 - user0 + sys1 - sys0) / 1000.0 / churned
        per_minute = lambda grown: grown / 1024.0 / churned * 60.0
        t.row(f"{groups * 100} folders, {operations / churned:.0f} files created and deleted per s for "
              f"{churned:.0f} s", "")
        t.row("  the program's CPU per second of churn", f"{fmt(cpu, 3)} s (user {fmt((user1 - user0) / 1000.0, 1)}"
              f" s, system {fmt((sys1 - sys0) / 1000.0, 1)} s)", "≤ 0.2 s", cpu <= 0.2)
        t.row("  message log growth per minute of churn", f"{fmt(per_minute(log1 - log0))} KB", "≤ 100 KB",
              per_minute(log1 - log0) <= 100)
        t.row("  standard error growth per minute of churn", f"{fmt(per_minute(err1 - err0))} KB", "≤ 100 KB",
              per_minute(err1 - err0) <= 100)
        t.row("  a picture dropped halfway: until the service has the request",
              f"{fmt(dropped)} ms" if uploaded else "not uploaded", "uploaded", uploaded)
        t.row("  moves tried meanwhile for a picture the mirror cannot take", f"{moves}",
              f"≤ {math.ceil(churned / 60.0)}", moves <= math.ceil(churned / 60.0))
        t.note("CPU from /proc/PID/stat over the churn and 2 s after it; growth over the same span")

    # ---- 12. a backlog -------------------------------------------------------------------------

    def backlog_run(self, template, count, label, service, extra_env=None):
        """The program started on a source folder that already holds the whole backlog. Answers the
        service's records in order (every attempt), the start time, the peak resident size and the
        times of status requests made during the drain."""
        d = self.next_dir(f"backlog-{label}")
        event = self.event(f"backlog {label}")
        source, mirror = d / "source", d / "mirror"
        mirror.mkdir()
        shutil.copytree(template, source)
        start = now_ms()
        prog = Program(d, "p", source, mirror, service.url, event, extra_env=extra_env)
        path = prog.profile / "runtime" / "Vesk-FTPUploader" / "command.sock"
        statuses = []
        try:
            timeout = max(self.args.timeout, count / 50)
            # A status request at each tenth of the drain: its time, and the count it gave.
            for tenth in range(1, 10):
                if not prog.wait_uploaded(count * tenth // 10, timeout):
                    break
                if wait_until(path.exists, 10):
                    before = count_files(source)
                    ms, reply = self.channel_request(path, b'{"class":"vesk","id":"stat"}')
                    statuses.append((ms, reply.get("status", {}).get("waitingInSource"), before, count_files(source)))
            done = prog.wait_uploaded(count, timeout)
            peak = prog.kb("VmHWM")
        finally:
            prog.stop()
        records = sorted(service.uploads(event), key=lambda r: r["completedMs"])
        ok = [r for r in records if r.get("outcome") == "ok"]
        if not done or len(ok) != count or count_files(mirror) != count:
            raise RuntimeError(f"backlog {label}: {len(ok)} of {count} uploads taken, {count_files(mirror)} mirrored")
        service.purge(records)
        shutil.rmtree(d, ignore_errors=True)
        return [r["completedMs"] for r in records], start, peak, statuses

    def backlog(self):
        t = self.table
        count = self.args.backlog_count
        t.section(f"12. A backlog: {count:,} pictures of 4 KB waiting when the program starts, headless")
        shapes = {"one": ("in one sub-folder", self.template(f"backlog-one-{count}", count, 0, 4 * KIB, "Card")),
                  "spread": ("over 100 sub-folders", self.template(f"backlog-spread-{count}", count, 100, 4 * KIB))}
        # Each failure costs the cycle a fixed pause of 1 s (and a retry delay of a minute): shortened,
        # so that the figure is the bookkeeping's and not those pauses'.
        scaled = {"VESK_TIME_SCALE": "0.001"}
        kinds = [("", None), ("each failing once first: ", scaled)]
        peaks, statuses = [], []
        failing = None
        for kind, env in kinds:
            whole = {}
            for shape in ("one", "spread"):
                title, template = shapes[shape]
                service = self.service
                if env:
                    # The rule drops the first attempt of each file name once per service: the two
                    # shapes hold the same names, so each drain gets a service of its own.
                    failing = Service(self.work, f"service-fails-once-{shape}", extra=["--rule", ".*=drop*1"])
                    service = failing
                try:
                    times, start, peak, probes = self.backlog_run(template, count, f"{shape}-{len(kind)}", service, env)
                finally:
                    if failing:
                        failing.stop()
                        failing = None
                peaks.append(peak)
                statuses += probes
                n, tenth = len(times), len(times) // 10
                first = tenth / ((times[tenth - 1] - times[0]) / 1000.0)
                last = tenth / ((times[-1] - times[n - tenth - 1]) / 1000.0)
                whole[shape] = count / ((times[-1] - start) / 1000.0)
                log(f"backlog {kind}{shape}: first tenth {first:.0f}/s, last {last:.0f}/s, whole {whole[shape]:.0f}/s, "
                    f"peak {peak / 1024:.1f} MiB, status {', '.join(f'{p[0]:.1f}' for p in probes)} ms")
                t.row(f"{kind}{title}: first tenth -> last tenth", f"{fmt(first, 0)} -> {fmt(last, 0)} /s",
                      ">= 0.8 x first", last >= 0.8 * first)
                t.row(f"  whole drain", f"{fmt(whole[shape], 0)} pictures/s ({fmt(count / whole[shape], 0)} s)")
            t.row(f"{kind}one sub-folder against spread, whole drain",
                  f"x{fmt(whole['one'] / whole['spread'], 2)}", ">= 0.9", whole["one"] >= 0.9 * whole["spread"])
        t.note("tenths by the service's records (every attempt, in the order they completed); the whole drain "
               "from the program's start to its last upload; the failing backlog's rates count both attempts of "
               "each picture, with VESK_TIME_SCALE=0.001 (the pause after a failure 1 ms, the retry delay 60 ms)")
        t.row("peak resident size (VmHWM) of these runs", f"{fmt(max(peaks) / 1024)} MiB", "<= 64 MiB",
              max(peaks) <= 64 * 1024)
        times = sorted(ms for ms, _, _, _ in statuses)
        wrong = [s for s in statuses if s[1] is None or not s[2] >= s[1] >= s[3]]
        t.row("status request during the drain (median, slowest)",
              f"{fmt(statistics.median(times), 1)} / {fmt(times[-1], 1)} ms", "<= 50 ms", times[-1] <= 50)
        t.note(f"{len(times)} requests, one at each tenth of each drain; the waiting count they gave lay between the "
               f"files in the source folder counted just before and just after, {len(times) - len(wrong)} of "
               f"{len(times)} times")
        self.write_partial()

    def write_partial(self):
        text = self.table.render(self.header())
        for s in self.scaled:
            text += f"scaled down: {s}\n"
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "latest.txt").write_text(text)
        return text


def latency_stages(series, console, received):
    """Median times after the picture appeared at which the program's pass started, found it and
    began sending it, from the console lines of the thread that found it."""
    marks = {"pass start": [], "found (walk done)": [], "EXIF read": [], "POST begins": [],
             "service has head": []}
    for name, appeared in series:
        found_index = None
        for i, (epoch, tid, message) in enumerate(console):
            if message.startswith("Found fileDate for") and message.split(":")[0].endswith("/" + name):
                found_index = i
                break
        if found_index is None:
            continue
        tid = console[found_index][1]
        scan_start = client = send = None
        for epoch, t_id, message in reversed(console[:found_index]):
            if t_id != tid:
                continue
            if client is None and message.startswith("====> Setting CLIENT NAME"):
                client = epoch
            if message.startswith("Inside AppController => scanFolderOnMainThread"):
                scan_start = epoch
                break
        for epoch, t_id, message in console[found_index:]:
            if t_id == tid and "Start to sendSynchronousRequest" in message:
                send = epoch
                break
        if None in (scan_start, client, send):
            continue
        marks["pass start"].append(scan_start - appeared)
        marks["found (walk done)"].append(client - appeared)
        marks["EXIF read"].append(console[found_index][0] - appeared)
        marks["POST begins"].append(send - appeared)
        marks["service has head"].append(received[name] - appeared)
    return [(k, statistics.median(v)) for k, v in marks.items() if v]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", default="throughput,latency,memory,scan,threads,micro,links,watching,recovery,churn,backlog",
                        help="comma-separated figures to run")
    parser.add_argument("--quick", action="store_true", help="small sizes, for trying the harness out")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--timeout", type=float, default=300)
    parser.add_argument("--work", help="work folder (default: a new one under /tmp)")
    args = parser.parse_args()
    args.small_count, args.large_count = (300, 30) if not args.quick else (60, 6)
    args.latency_count, args.latency_inplace = (100, 30) if not args.quick else (20, 10)
    args.scan_n = 10000 if not args.quick else 2000
    args.backlog_count = 100000 if not args.quick else 20000
    args.walk_passes = 21
    args.pass_drops = 5 if not args.quick else 3
    args.burst_count = 1000 if not args.quick else 200
    args.micro_time = 0.2 if not args.quick else 0.05
    args.link_small, args.link_large = (50, 5) if not args.quick else (10, 2)
    args.https_small, args.https_large, args.https_repeats = (300, 10, 3) if not args.quick else (30, 3, 1)
    args.churn_groups, args.churn_seconds = (30, 20) if not args.quick else (6, 6)
    if args.quick:
        args.repeats = min(args.repeats, 1)

    if args.work:
        work = Path(args.work)
    else:
        # tmpfs when it has room: setting up and removing 10,000-folder trees and gigabytes of
        # uploads on this machine's disk (mounted with discard) takes minutes.
        shm = Path("/dev/shm")
        base = shm if shm.is_dir() and shutil.disk_usage(shm).free > 8 * GIB else None
        work = Path(tempfile.mkdtemp(prefix="vesk-bench-", dir=base))
    work.mkdir(parents=True, exist_ok=True)
    bench = Bench(args, work)
    bench.started = datetime.datetime.now().astimezone()
    bench.load_at_start = " ".join(f"{x:.2f}" for x in os.getloadavg())
    if args.quick:
        bench.scaled.append("--quick: every size scaled down; not for comparing with the goals")
    figures = {"throughput": bench.throughput, "latency": bench.latency, "memory": bench.memory,
               "scan": bench.scan, "threads": bench.threads, "micro": bench.micro,
               "links": bench.links, "https": bench.https, "watching": bench.watching,
               "recovery": bench.recovery, "churn": bench.churn, "backlog": bench.backlog}
    failed = False
    try:
        for name in args.only.split(","):
            started = time.monotonic()
            log(f"{name} ...")
            try:
                figures[name]()
            except Exception as error:  # one figure failing must not hide the others
                failed = True
                bench.table.section(f"{name}: FAILED")
                bench.table.note(str(error))
                log(f"{name} failed: {error}")
            log(f"{name} took {time.monotonic() - started:.0f} s")
    finally:
        bench.service.stop()
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    text = bench.write_partial()
    print(text, end="")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
