#!/usr/bin/env python3
"""Soak run of the headless recorder against the camera simulator, with a
fault every few minutes, then a check of every recording against the
pictures the camera sent.

The simulator marks each picture (serial number, connection, time sent) and
logs it (--keep-sent); each AVI chunk is found among them by that mark and
compared byte for byte. Everything runs on 127.0.0.1; scripts/soak.sh starts
this in a network namespace of its own, where nothing else can be reached.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

MIB = 1024 * 1024
GUARD_LINE_MB = 512          # the disk guard's line: free space at or below it is made room for
MARK = re.compile(rb"ipcam-sim serial=(\d+) conn=(\d+) ms=(\d+)(?: fault=([a-z]+))?")
LEGACY_BOUNDARY = b"\r\nEOB\r\n"
# Those that keep the connection first, so that a 600-s cut comes before the first outage.
FAULTS = ["corrupt", "truncated", "garbage", "slow-disk", "disk-guard", "outage", "stall", "cut"]


def log(msg):
    print(time.strftime("%H:%M:%S ") + msg, flush=True)


class Soak:
    def __init__(self, a):
        self.a = a
        self.work = os.path.abspath(a.workdir or time.strftime("/tmp/ipcam-soak-%Y%m%d-%H%M%S"))
        self.rec = os.path.join(self.work, "rec")
        self.archive = os.path.join(self.work, "archive")
        self.sent_file = os.path.join(self.work, "sent.bin")
        self.faults = []          # dicts: name, start, end (seconds since the epoch), notes
        self.rss = []             # (time, KiB)
        self.bursts = []          # (rss before, rss after) in KiB
        self.stop_archiving = threading.Event()
        self.archived = set()
        self.finishes = []        # when the recorder logged a finished recording
        self.aborted = None

    # ---- setup -------------------------------------------------------------
    def start(self):
        os.makedirs(self.rec, exist_ok=True)
        os.makedirs(self.archive, exist_ok=True)
        # A small file system of its own, so that the disk guard has to make room.
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={self.a.disk_mb}m", "ipcam-soak", self.rec], check=True)
        self.mounted = True
        # Old recordings for the guard to delete (it goes by name only).
        seeds = os.path.join(self.rec, "20200101")
        os.makedirs(seeds)
        for i in range(3):
            with open(os.path.join(seeds, f"00{i}000T.AVI"), "wb") as f:
                f.write(b"\0" * (40 * MIB))
        sim = [os.path.join(self.a.build, "tools", "ipcam-sim"), "--fps", str(self.a.fps), "--keep-sent",
               self.sent_file, "--mark", "--bind", "127.0.0.1"]
        if self.a.legacy:
            sim += ["--port", "8080", "--http-port", "80"]
        else:
            sim += ["--port", "0", "--http-port", "0", "--mjpeg", "/stream", "--size", self.a.size]
        self.sim = subprocess.Popen(sim, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=open(os.path.join(self.work, "sim.err"), "wb"))
        ready = self.sim.stdout.readline().decode()
        m = re.search(r"stream on 127\.0\.0\.1:(\d+)", ready)
        if not m:
            raise SystemExit("the simulator did not start: " + ready)
        port = int(m.group(1))
        ini = os.path.join(self.work, "ipcam-recorder.INI")
        with open(ini, "w") as f:
            f.write("[IPCAM_1]\n")
            for k, v in [("Host_Addr", "127.0.0.1"), ("Host_Port", port), ("IPCAM_Password", "pxwqe"),
                         ("AVI_Directory", self.rec), ("Motion_Detection_Enabled", 0), ("Resolution", 0),
                         ("Frequency", 1), ("Quality", 1), ("Brightness", 1), ("Orientation", 0), ("Keep_Days", 0),
                         ("Camera_URL", "" if self.a.legacy else f"http://127.0.0.1:{port}/stream")]:
                f.write(f"{k}={v}\n")
            for d in range(7):       # a Daily block every hour of the week: continuous recording
                for h in range(24):
                    f.write(f"TimeBlock{d}_{h}=1\n")
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE")}
        self.rec_out = os.path.join(self.work, "recorder.out")
        self.recorder = subprocess.Popen([os.path.join(self.a.build, "ipcam-recorder"), "--headless", "--settings", ini],
                                         cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                                         stdout=open(self.rec_out, "wb"), stderr=subprocess.STDOUT)
        self.t0 = time.time()
        threading.Thread(target=self.archive_loop, daemon=True).start()
        log(f"soak in {self.work}: camera on 127.0.0.1:{port} ({'legacy protocol' if self.a.legacy else 'MJPEG'}), "
            f"recorder pid {self.recorder.pid}, {self.a.minutes} min, a fault every {self.a.fault_every} s")

    def cmd(self, line):
        self.sim.stdin.write((line + "\n").encode())
        self.sim.stdin.flush()

    def rss_kib(self):
        try:
            with open(f"/proc/{self.recorder.pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0

    def guard_deleted(self):
        """Recordings the disk guard deleted so far, from its one line per pass."""
        return sum(int(n) for n in re.findall(r"Disk space guard deleted (\d+) recording", self.log_text()))

    def log_text(self):
        with open(self.rec_out, "rb") as f:
            return f.read().decode(errors="replace")

    def free_mb(self):
        st = os.statvfs(self.rec)
        return st.f_bavail * st.f_frsize / MIB

    # Copies each finished recording out of the small file system before the guard can delete it,
    # and deletes there all but the newest, so that only the disk-guard fault brings it near full.
    def archive_once(self, prune=True):
        done = []
        for day in sorted(os.listdir(self.rec)):
            if not re.fullmatch(r"\d{8}", day) or day == "20200101":
                continue
            try:
                names = os.listdir(os.path.join(self.rec, day))
            except OSError:
                continue
            for name in names:
                key = f"{day}/{name}"
                if not re.fullmatch(r"\d{6}(-\d+)?[AT]\.(AVI|MKV)", name):
                    continue
                done.append(key)
                if key in self.archived:
                    continue
                os.makedirs(os.path.join(self.archive, day), exist_ok=True)
                try:
                    shutil.copyfile(os.path.join(self.rec, day, name), os.path.join(self.archive, day, name))
                    self.archived.add(key)
                except OSError:
                    pass
        if prune:
            for key in sorted(done)[:-1]:
                if key in self.archived:
                    try:
                        os.unlink(os.path.join(self.rec, key))
                    except OSError:
                        pass

    def archive_loop(self):
        while not self.stop_archiving.wait(2):
            self.archive_once()

    def wait_until(self, t):
        while time.time() < t:
            if self.recorder.poll() is not None:
                raise RuntimeError(f"the recorder ended (exit {self.recorder.returncode})")
            time.sleep(min(1, max(0, t - time.time())))
            self.rss.append((time.time(), self.rss_kib()))
            n = self.log_text().count("Recording finished:")
            if n > len(self.finishes):
                self.finishes += [time.time()] * (n - len(self.finishes))

    # When the running recording will reach its 600 seconds.
    def next_cut(self):
        last = self.finishes[-1] if self.finishes else self.t0 + 5
        while last < time.time():
            last += 600
        return last

    # ---- faults ------------------------------------------------------------
    def fault(self, name):
        f = {"name": name, "start": time.time(), "notes": ""}
        self.faults.append(f)
        log(f"fault: {name}")
        if name == "outage":
            self.cmd("refuse on")
            self.wait_until(f["start"] + self.a.outage)
            self.cmd("refuse off")
        elif name == "stall":
            self.cmd("stall")
            self.wait_until(f["start"] + self.a.stall)
            self.cmd("resume")
        elif name in ("corrupt", "cut"):
            self.cmd(name)
        elif name == "truncated":
            self.cmd("truncate")
        elif name == "garbage":
            before = self.rss_kib()
            self.cmd(f"noise {self.a.garbage_mb * MIB}")
            f["end"] = time.time()
            self.wait_until(f["end"] + self.a.rss_after)
            after = self.rss_kib()
            self.bursts.append((before, after))
            f["notes"] = f"RSS {before / 1024:.1f} -> {after / 1024:.1f} MiB {self.a.rss_after} s later"
            return f
        elif name == "slow-disk":
            # Every file write of the recorder (pwrite, pwritev, fdatasync) held back.
            us = int(self.a.slow_write_ms * 1000)
            tracer = subprocess.Popen(["strace", "-f", "-qq", "-p", str(self.recorder.pid), "-o", "/dev/null",
                                       "-e", "trace=pwrite64,pwritev,fdatasync,fsync",
                                       "-e", f"inject=pwrite64,pwritev,fdatasync,fsync:delay_enter={us}"],
                                      stderr=subprocess.PIPE)
            self.wait_until(f["start"] + self.a.slow_disk)
            tracer.send_signal(signal.SIGINT)
            try:
                err = tracer.communicate(timeout=20)[1].decode(errors="replace").strip()
            except subprocess.TimeoutExpired:
                tracer.kill()
                err = "strace did not detach"
            f["notes"] = f"{self.a.slow_write_ms} ms per file write for {self.a.slow_disk} s" + (
                f" (strace: {err[:120]})" if err else "")
        elif name == "disk-guard":
            # Fill the file system to just above the guard's line shortly before a 600-s cut, which
            # must then make room.
            if self.next_cut() - 30 > self.t0 + self.a.minutes * 60 - 20:
                f["end"] = time.time()
                f["notes"] = "skipped: no 600-s cut left in the run"
                return f
            self.wait_until(self.next_cut() - 30)
            f["start"] = time.time()
            filler = os.path.join(self.rec, "filler.bin")
            size = int((self.free_mb() - GUARD_LINE_MB - self.a.guard_margin_mb) * MIB)
            if size > 0:
                with open(filler, "wb") as out:
                    out.truncate(0)
                    chunk = b"\xA5" * MIB
                    for _ in range(size // MIB):
                        out.write(chunk)
            f["end"] = time.time()
            seen = len(self.finishes)
            limit = time.time() + 640
            while time.time() < limit and len(self.finishes) == seen:
                self.wait_until(time.time() + 2)
            self.wait_until(time.time() + 3)
            deleted = self.guard_deleted()
            if os.path.exists(filler):
                os.unlink(filler)
            f["notes"] = (f"filled to {GUARD_LINE_MB + self.a.guard_margin_mb} MB free at the start; "
                          f"{deleted} guard deletion(s) logged so far; filler removed after the next cut")
            return f
        f["end"] = time.time()
        return f

    def run(self):
        self.start()
        end = self.t0 + self.a.minutes * 60
        next_fault = self.t0 + self.a.first_fault
        i = 0
        try:
            while True:
                self.wait_until(min(next_fault, end))
                if time.time() >= end:
                    break
                name = self.a.faults[i % len(self.a.faults)]
                i += 1
                # Only a fault that ends, and is recovered from, before the run does.
                lasts = {"outage": self.a.outage, "stall": self.a.stall, "slow-disk": self.a.slow_disk,
                         "garbage": self.a.rss_after}.get(name, 0)
                if time.time() + lasts + 30 > end:
                    next_fault = time.time() + 1
                    continue
                f = self.fault(name)
                next_fault = max(next_fault + self.a.fault_every, f["end"] + 30)
        except RuntimeError as e:
            self.aborted = str(e)
            log("stopped early: " + self.aborted)
        finally:
            self.finish()

    def finish(self):
        log("ending: SIGTERM to the recorder")
        self.term_time = time.time()
        if self.recorder.poll() is None:
            self.recorder.send_signal(signal.SIGTERM)
            try:
                self.recorder.wait(60)
            except subprocess.TimeoutExpired:
                self.recorder.kill()
        self.end_time = time.time()
        try:
            self.cmd("quit")
            self.sim.wait(10)
        except Exception:
            self.sim.kill()
        self.stop_archiving.set()
        time.sleep(2.5)
        self.archive_once(prune=False)
        self.guard_deletions = self.guard_deleted()
        subprocess.run(["umount", self.rec])
        self.run_args = {k: getattr(self.a, k) for k in ("legacy", "size", "fps")}
        with open(os.path.join(self.work, "run.json"), "w") as f:
            json.dump({k: getattr(self, k) for k in self.STATE}, f)

    # What the analysis needs of a run, kept so that it can be made again (--analyse WORKDIR).
    STATE = ["faults", "rss", "bursts", "t0", "end_time", "term_time", "guard_deletions", "aborted", "run_args"]

    def load(self):
        self.rec_out = os.path.join(self.work, "recorder.out")
        with open(os.path.join(self.work, "run.json")) as f:
            for k, v in json.load(f).items():
                setattr(self, k, v)
        for k, v in self.run_args.items():
            setattr(self.a, k, v)

    # ---- analysis ------------------------------------------------------------
    def analyse(self):
        a = self.a
        out = []

        def say(s=""):
            out.append(s)
            print(s, flush=True)

        results = []

        def goal(ok, text):
            results.append(ok)
            say(f"{'PASS' if ok else 'FAIL'}  {text}")

        # What the camera sent: serial -> (conn, time s, fault, sha1 of each accepted form, length)
        sent = {}
        first_of_conn = {}
        with open(self.sent_file, "rb") as f:
            while True:
                head = f.read(4)
                if len(head) < 4:
                    break
                (n,) = struct.unpack("<I", head)
                data = f.read(n)
                if len(data) < n:
                    break
                m = MARK.search(data, 0, 400)
                if not m:
                    continue
                serial, conn, ms = int(m.group(1)), int(m.group(2)), int(m.group(3))
                forms = {hashlib.sha1(data).digest()}
                if data.endswith(LEGACY_BOUNDARY):
                    forms.add(hashlib.sha1(data[:-len(LEGACY_BOUNDARY)]).digest())
                sent[serial] = (conn, ms / 1000.0, (m.group(4) or b"").decode(), forms, n)
                first_of_conn.setdefault(conn, serial)
        serials = sorted(sent)
        # The camera's real rate: intervals between consecutive pictures of a connection, pauses left out.
        gaps = [sent[b][1] - sent[a_][1] for a_, b in zip(serials, serials[1:])
                if sent[a_][0] == sent[b][0] and sent[b][1] - sent[a_][1] < 1.0]
        cam_rate = len(gaps) / sum(gaps) if gaps else float(a.fps)

        # What was recorded.
        occurrences = {}
        files = []
        kinds = {"exact": 0, "glued": 0, "cut": 0, "altered": 0, "foreign": 0}
        bad_examples = []
        finished = {}
        for m in re.finditer(r"Recording finished: (\S+) (\d+) pictures, (\d+) seconds", self.log_text()):
            finished[os.path.basename(m.group(1))] = (int(m.group(2)), int(m.group(3)))
        sent_bytes_cache = {}

        def sent_bytes(serial):
            # Re-read a picture's bytes from the log when a chunk does not match it.
            if not sent_bytes_cache:
                with open(self.sent_file, "rb") as f:
                    while True:
                        head = f.read(4)
                        if len(head) < 4:
                            break
                        data = f.read(struct.unpack("<I", head)[0])
                        mm = MARK.search(data, 0, 400)
                        if mm:
                            sent_bytes_cache[int(mm.group(1))] = data
            return sent_bytes_cache.get(serial)

        for day in sorted(os.listdir(self.archive)):
            for name in sorted(os.listdir(os.path.join(self.archive, day))):
                path = os.path.join(self.archive, day, name)
                if not name.endswith(".AVI"):
                    continue
                with open(path, "rb") as f:
                    blob = f.read()
                if len(blob) < 512 or blob[:4] != b"RIFF":
                    files.append({"name": f"{day}/{name}", "bad": True})
                    continue
                scale, rate, length = struct.unpack_from("<III", blob, 128)[0], struct.unpack_from("<I", blob, 132)[0], \
                    struct.unpack_from("<I", blob, 140)[0]
                info = {"name": f"{day}/{name}", "scale": scale, "rate": rate, "length": length, "serials": []}
                pos = 512
                while pos + 8 <= len(blob):
                    fourcc, n = blob[pos:pos + 4], struct.unpack_from("<I", blob, pos + 4)[0]
                    if fourcc != b"00dc":
                        break
                    data = blob[pos + 8:pos + 8 + n]
                    pos += 8 + n + (n & 1)
                    mm = MARK.search(data, 0, 400)
                    serial = int(mm.group(1)) if mm else None
                    kind = "foreign"
                    if serial in sent:
                        info["serials"].append(serial)
                        occurrences[serial] = occurrences.get(serial, 0) + 1
                        length_sent = sent[serial][4]
                        body = data[:-1] if len(data) == length_sent + 1 and data.endswith(b"\0") else data
                        if hashlib.sha1(body).digest() in sent[serial][3]:
                            kind = "exact"
                        else:
                            orig = sent_bytes(serial) or b""
                            core = orig[:-len(LEGACY_BOUNDARY)] if orig.endswith(LEGACY_BOUNDARY) else orig
                            if len(body) > len(orig) and (body.startswith(orig) or body.startswith(core)):
                                kind = "glued"
                            elif len(body) < len(orig) and (orig.startswith(body) or core.startswith(body)):
                                kind = "cut"
                            else:
                                kind = "altered"
                    kinds[kind] += 1
                    if kind != "exact" and len(bad_examples) < 8:
                        bad_examples.append(f"{day}/{name} chunk at {pos}: {kind}, serial {serial}, {len(data)} bytes")
                files.append(info)

        recorded = set(occurrences)
        duplicates = sorted(s for s, c in occurrences.items() if c > 1)

        # Windows of the faults: pictures sent in them (and `settle` s after) are not counted as healthy.
        windows = [(f["start"] - 0.5, f["end"] + a.settle) for f in self.faults if f["name"] != "disk-guard"]

        def in_fault(t):
            return any(lo <= t <= hi for lo, hi in windows)

        # Pictures still on their way when the program was told to end are not counted either.
        healthy = [s for s in serials if not sent[s][2] and not in_fault(sent[s][1]) and sent[s][1] < self.term_time - 1]
        lost_healthy = [s for s in healthy if s not in recorded]

        # Losses where one file ends and the next begins.
        cut_losses, cuts = [], 0
        order = [f for f in files if f.get("serials")]
        order.sort(key=lambda f: f["serials"][0])
        for f, g in zip(order, order[1:]):
            last, first = f["serials"][-1], g["serials"][0]
            if f["scale"] and f["length"] * f["scale"] / max(f["rate"], 1) >= 590:
                cuts += 1
                cut_losses += [s for s in range(last + 1, first) if s in sent and sent[s][0] == sent[last][0]]
        conn_losses = [s for c, s in first_of_conn.items() if s not in recorded]

        say("")
        say("==== soak report ====")
        dur = (self.end_time - self.t0) / 60
        say(f"run: {dur:.1f} min, {'legacy protocol' if a.legacy else 'MJPEG ' + a.size}, camera {cam_rate:.3f} "
            f"pictures/s measured ({a.fps} asked), {len(serials)} pictures sent on {len(first_of_conn)} connections, "
            f"{sum(occurrences.values())} chunks in {len(files)} recordings, {self.guard_deletions} guard deletion(s)")
        say(f"work folder: {self.work}")
        say("")
        say("faults (times from the start; recovery = first recorded picture sent after the fault ended):")
        recoveries = []
        for f in self.faults:
            in_win = [s for s in serials if f["start"] - 0.5 <= sent[s][1] <= f["end"] + a.settle]
            kept = sum(1 for s in in_win if s in recorded)
            after = [s for s in serials if sent[s][1] >= f["end"] and s in recorded and not sent[s][2]]
            rec_s = (sent[after[0]][1] - f["end"]) if after else None
            if f["name"] != "disk-guard":
                recoveries.append(rec_s)
            say(f"  {f['start'] - self.t0:7.0f} s  {f['name']:<10} {f['end'] - f['start']:5.0f} s long; "
                f"{kept}/{len(in_win)} pictures of its window recorded; recovery "
                f"{'%.1f s' % rec_s if rec_s is not None else 'never'}{'; ' + f['notes'] if f['notes'] else ''}")
        say("")
        say("recordings (rate and duration in the header beside the camera's):")
        rate_bad = 0
        for f in files:
            if f.get("bad"):
                say(f"  {f['name']}: not a readable AVI")
                rate_bad += 1
                continue
            n = len(f["serials"])
            hdr_fps = f["rate"] / f["scale"] if f["scale"] else 0
            hdr_dur = f["length"] * f["scale"] / f["rate"] if f["rate"] else 0
            real_dur = n / cam_rate
            span = (sent[f["serials"][-1]][1] - sent[f["serials"][0]][1] + 1 / cam_rate) if n else 0
            ok = n > 0 and abs(hdr_fps / cam_rate - 1) <= 0.01 and abs(hdr_dur / real_dur - 1) <= 0.01
            rate_bad += 0 if ok else 1
            fin = finished.get(os.path.basename(f["name"]))
            say(f"  {'ok ' if ok else 'BAD'} {f['name']}: {n} pictures sent over {span:.1f} s; header "
                f"{hdr_fps:.3f}/s, {hdr_dur:.1f} s ({(hdr_fps / cam_rate - 1) * 100 if cam_rate else 0:+.1f} %)"
                + (f"; log: {fin[0]} pictures, {fin[1]} s" if fin else ""))
        say("")
        say("chunks: " + ", ".join(f"{k} {v}" for k, v in kinds.items()) + f"; in more than one recording: {len(duplicates)}")
        for e in bad_examples:
            say("  " + e)
        spoilt = [s for s in serials if sent[s][2]]
        say("spoilt pictures sent: " + ", ".join(f"{s} ({sent[s][2]}: {'recorded' if s in recorded else 'not recorded'})"
                                                 for s in spoilt))
        if lost_healthy:
            say("healthy pictures lost (serial, seconds from the start): " + ", ".join(
                f"{s}@{sent[s][1] - self.t0:.1f}" for s in lost_healthy[:40]) + (" ..." if len(lost_healthy) > 40 else ""))
        say("")
        growth = [(b2 - b1) / 1024 for b1, b2 in self.bursts]
        rss_first = next((k for _, k in self.rss if k), 0)
        rss_last = next((k for _, k in reversed(self.rss) if k), 0)
        say("==== goals ====")
        if self.aborted:
            goal(False, "the run went to its end: " + self.aborted)
        goal(cuts > 0 and not cut_losses, f"600-s cuts: {len(cut_losses)} pictures lost at {cuts} cut(s)"
             + (" (no cut seen: run 11 minutes or more)" if cuts == 0 else ""))
        goal(not conn_losses, f"connection starts: {len(conn_losses)} of {len(first_of_conn)} first pictures lost")
        pct = 100.0 * (len(healthy) - len(lost_healthy)) / len(healthy) if healthy else 0
        goal(not lost_healthy and not duplicates,
             f"healthy periods: {len(healthy) - len(lost_healthy)} of {len(healthy)} pictures recorded ({pct:.3f} %), "
             f"{len(lost_healthy)} lost, {len(duplicates)} in more than one place")
        goal(kinds["glued"] + kinds["cut"] + kinds["altered"] + kinds["foreign"] == 0 and not duplicates,
             f"each chunk one picture the camera sent: {kinds['exact']} exact, {kinds['glued']} glued, "
             f"{kinds['cut']} cut, {kinds['altered']} altered, {kinds['foreign']} not from the camera, "
             f"{len(duplicates)} duplicated")
        goal(rate_bad == 0, f"file rates: {len(files) - rate_bad} of {len(files)} recordings within 1 % of "
                            f"{cam_rate:.3f}/s in rate and duration")
        goal(bool(growth) and max(growth) <= 2.0,
             f"memory across {len(growth)} garbage burst(s): growth " +
             (", ".join(f"{g:+.1f}" for g in growth) if growth else "not measured") +
             f" MiB (limit +2); RSS {rss_first / 1024:.1f} MiB at the start, {rss_last / 1024:.1f} MiB at the end")
        worst = max((r for r in recoveries if r is not None), default=0)
        goal(all(r is not None and r <= a.recovery_limit for r in recoveries),
             f"recovery after {len(recoveries)} fault(s): worst {worst:.1f} s"
             + ("" if all(r is not None for r in recoveries) else ", some never") + f" (limit {a.recovery_limit} s)")
        with open(os.path.join(self.work, "report.txt"), "w") as f:
            f.write("\n".join(out) + "\n")
        return all(results)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", help="build folder holding ipcam-recorder and tools/ipcam-sim")
    p.add_argument("--analyse", metavar="WORKDIR", help="only check the recordings of an earlier run again")
    p.add_argument("--minutes", type=float, default=60)
    p.add_argument("--fault-every", type=float, default=240, help="seconds between faults (default 240)")
    p.add_argument("--first-fault", type=float, default=60, help="seconds before the first fault")
    p.add_argument("--faults", default=",".join(FAULTS), help="the cycle of faults, comma-separated")
    p.add_argument("--legacy", action="store_true", help="the camera's own protocol rather than MJPEG over HTTP")
    p.add_argument("--fps", type=int, default=10)
    p.add_argument("--size", default="640x480", help="MJPEG picture size")
    p.add_argument("--workdir", help="default /tmp/ipcam-soak-DATE-TIME")
    p.add_argument("--disk-mb", type=int, default=1400, help="size of the recording file system")
    p.add_argument("--outage", type=float, default=20)
    p.add_argument("--stall", type=float, default=70)
    p.add_argument("--garbage-mb", type=int, default=10)
    p.add_argument("--slow-disk", type=float, default=40, help="seconds of slow writes")
    p.add_argument("--slow-write-ms", type=float, default=250)
    p.add_argument("--guard-margin-mb", type=float, default=4)
    p.add_argument("--rss-after", type=float, default=30, help="seconds after a garbage burst to sample RSS")
    p.add_argument("--settle", type=float, default=5, help="seconds after a fault not counted as healthy")
    p.add_argument("--recovery-limit", type=float, default=6,
                   help="seconds (default 6: the program reconnects on the fifth second, then a picture)")
    a = p.parse_args()
    a.faults = [f.strip() for f in a.faults.split(",") if f.strip()]
    unknown = set(a.faults) - set(FAULTS)
    if unknown:
        p.error("unknown faults: " + ", ".join(sorted(unknown)))
    if a.analyse:
        a.workdir = a.analyse
        s = Soak(a)
        s.load()
    else:
        if not a.build:
            p.error("--build is needed for a run")
        s = Soak(a)
        s.run()
    sys.exit(0 if s.analyse() else 1)


if __name__ == "__main__":
    main()
