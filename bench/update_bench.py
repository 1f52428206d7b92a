#!/usr/bin/env python3
"""Self-update benchmark. Prints a table; it is a measurement, not a test.

It boots a Wine prefix of its own (Xvfb, persistent wineserver, the stand-in shell of the test tree), makes
a throwaway CA that only that prefix trusts, and serves the update host with Debian's nginx on port 443 of
loopback (tests/e2e/update_host.py), so nothing of the test suite's prefix is touched:

  bench/update_bench.py --build-dir build

It needs OKAVU.exe, tests/testtool.exe and okavu-next/OKAVU.exe (the same sources as 1.7.0.0, built with
the tests) of that build.

Measurements
  handover   a 1.6.0.0 watcher ("--watch") finds the 1.7.0.0 manifest at its first cycle, downloads,
             verifies and hands over; the helper replaces the executable and starts the new version.
             Measured from nginx's time stamp of the manifest request (milliseconds, same clock) to
               - the end of the download (nginx's time stamp of the executable request),
               - the new version's process existing (polled in /proc every 2 ms),
               - the new version watching (its log line "监视启动", polled every 2 ms).
             The 5 s before the first cycle and the cycle interval are not part of it.
             Goal: the new version runs less than 5 s after the manifest was found.

Standard library only.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import tls  # noqa: E402
from harness import Running  # noqa: E402
from update_host import UpdateHost  # noqa: E402
from wineprefix import Prefix, find_wine, processes_with_env  # noqa: E402

POLL = 0.002
TIMEOUT = 60.0
STOP_EVENT = r"Local\OKAVU_Quillmere_Stop"
MANIFEST = "/files/OKAVU/manifest.txt"
GOAL_SECONDS = 5.0


class Bench:
    def __init__(self, build_dir, root):
        self.okavu = os.path.join(build_dir, "OKAVU.exe")
        self.next_okavu = os.path.join(build_dir, "okavu-next", "OKAVU.exe")
        self.testtool = os.path.join(build_dir, "tests", "testtool.exe")
        for path in (self.okavu, self.next_okavu, self.testtool):
            if not os.path.exists(path):
                sys.exit(f"missing {path}: build the project with its tests first")
        self.root = root
        self.prefix = Prefix(os.path.join(root, "wine"))
        self.wine = find_wine()
        self.started = []
        self.host = None

    # ---- processes --------------------------------------------------------------------------------

    def start(self, exe, *args, console=False):
        running = Running([self.wine, exe, *args], self.prefix.environ(), self.prefix.drive_c, console)
        self.started.append(running)
        return running

    def tool(self, *args):
        running = self.start(self.testtool, *args)
        result = running.wait(TIMEOUT)
        if result is None or result.exit_code != 0:
            running.kill()
            sys.exit(f"testtool {' '.join(args)} failed: {result.describe() if result else 'no end'}")
        return result

    # ---- set-up -----------------------------------------------------------------------------------

    def boot(self):
        print(f"booting a prefix in {self.prefix.root} ...", file=sys.stderr)
        self.prefix.boot()
        ready, quit_event = "OKAVU_Bench_shell_ready", "OKAVU_Bench_shell_quit"
        self.start(self.testtool, "shell", "--ready", ready, "--quit", quit_event)
        self.tool("wait-event", ready, "15000")
        chain = tls.make_chain(os.path.join(self.root, "tls"))
        tls.import_ca(self.prefix, self.testtool, chain.ca_pem, wine=self.wine)
        self.host = UpdateHost(chain).start()
        self.host.publish(self.next_okavu)
        self.log = os.path.join(self.prefix.user_dir, "AppData", "Local", "OKAVU-wallpaper", "guard.log")

    def shutdown(self):
        for running in self.started:
            running.kill()
        if self.host:
            self.host.close()
        self.prefix.stop(quiet=True)

    # ---- log ---------------------------------------------------------------------------------------

    def log_size(self):
        try:
            return os.path.getsize(self.log)
        except FileNotFoundError:
            return 0

    def log_has(self, text, since):
        try:
            with open(self.log, "rb") as f:
                f.seek(since)
                return text.encode("utf-8") in f.read()
        except FileNotFoundError:
            return False

    def process_running(self, windows_exe):
        marker = b"WINEPREFIX=" + os.fsencode(self.prefix.path)
        for pid in processes_with_env(marker):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    first = f.read().split(b"\0", 1)[0]
            except OSError:
                continue
            if os.fsdecode(first).lower() == windows_exe.lower():
                return pid
        return None

    # ---- measurements ------------------------------------------------------------------------------

    def handover(self, samples):
        rows = []
        for n in range(samples):
            folder = os.path.join(self.prefix.drive_c, "bench", f"run {n}")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            exe = os.path.join(folder, "OKAVU.exe")
            shutil.copyfile(self.okavu, exe)
            exe_win = f"C:\\bench\\run {n}\\OKAVU.exe"
            self.host.clear_requests()
            mark = self.log_size()
            old = self.start(exe_win, "--watch")
            started = None
            deadline = time.monotonic() + TIMEOUT
            # The helper starts the new version only once the old process has ended; from then on the
            # one process of that image is the new version.
            while time.monotonic() < deadline:
                if not old.running and self.process_running(exe_win):
                    started = time.time()
                    break
                time.sleep(POLL)
            if started is None:
                sys.exit(f"sample {n}: the new version did not start within {TIMEOUT} s")
            # The helper logs its last line only after the start returned; the new version's own lines follow.
            while not self.log_has("已拉起新版本", mark) or not self.log_has("监视启动，间隔",
                                                                       self.log_after_helper(mark)):
                if time.monotonic() > deadline:
                    sys.exit(f"sample {n}: the new version did not start watching")
                time.sleep(POLL)
            watching = time.time()
            requests = self.host.requests()
            manifest = next(r.time for r in requests if r.path == MANIFEST)
            download = next(r.time for r in requests if r.path.endswith(".exe"))
            rows.append((download - manifest, started - manifest, watching - manifest))
            self.tool("set-event", STOP_EVENT)
            self.wait_gone(exe_win)
        return rows

    def log_after_helper(self, mark):
        """Offset of the helper's "已拉起新版本" line in the log, so the old watcher's start is not counted."""
        with open(self.log, "rb") as f:
            f.seek(mark)
            data = f.read()
        return mark + data.index("已拉起新版本".encode("utf-8"))

    def wait_gone(self, exe_win):
        deadline = time.monotonic() + TIMEOUT
        while self.process_running(exe_win):
            if time.monotonic() > deadline:
                sys.exit("the new version did not stop")
            time.sleep(POLL)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--root", help="state folder for the prefix (default: a fresh temporary folder)")
    parser.add_argument("--samples", type=int, default=5)
    args = parser.parse_args()

    root = args.root or tempfile.mkdtemp(prefix="okavu-update-bench-")
    bench = Bench(os.path.abspath(args.build_dir), root)
    try:
        bench.boot()
        print(f"handover, {args.samples} samples ...", file=sys.stderr)
        handover = bench.handover(args.samples)
    finally:
        bench.shutdown()
        if not args.root:
            shutil.rmtree(root, ignore_errors=True)

    download = [r[0] for r in handover]
    started = [r[1] for r in handover]
    watching = [r[2] for r in handover]
    rows = [
        ("manifest found -> download done, median", f"{statistics.median(download) * 1000:.0f} ms", "", ""),
        ("manifest found -> new version started, median", f"{statistics.median(started) * 1000:.0f} ms", "", ""),
        ("manifest found -> new version started, worst", f"{max(started) * 1000:.0f} ms", f"< {GOAL_SECONDS:.0f} s",
         verdict(max(started) < GOAL_SECONDS)),
        ("manifest found -> new version watching, median", f"{statistics.median(watching) * 1000:.0f} ms", "", ""),
        ("manifest found -> new version watching, worst", f"{max(watching) * 1000:.0f} ms", f"< {GOAL_SECONDS:.0f} s",
         verdict(max(watching) < GOAL_SECONDS)),
    ]
    width = max(len(r[0]) for r in rows)
    value_width = max(len(r[1]) for r in rows)
    print(f"{'measure':<{width}}  {'value':<{value_width}}  goal")
    for name, value, goal, ok in rows:
        print(f"{name:<{width}}  {value:<{value_width}}  {goal} {ok}".rstrip())
    print(f"\n{args.samples} hand-overs of a {os.path.getsize(bench.next_okavu)} byte build over loopback.")


def verdict(ok):
    return "met" if ok else "MISSED"


if __name__ == "__main__":
    main()
