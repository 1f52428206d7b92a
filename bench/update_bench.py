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
             verifies and hands over (DoUpdateCycle, LaunchUpdateHelper); the helper (ApplyUpdateMode)
             replaces the executable and starts the new version.
             Measured from nginx's time stamp of the manifest request (milliseconds, same clock) to
               - the end of the download (nginx's time stamp of the executable request),
               - the new version's process existing (polled in /proc every 2 ms),
               - the new version watching (its log line "监视启动", polled every 2 ms).
             The 5 s before the first cycle and the cycle interval are not part of it.
             Goal: the new version runs less than 5 s after the manifest was found.

Standard library only.
"""
import os
import shutil
import statistics
import sys
import time

from benchlib import (MANIFEST_PATH, POLL, STOP_EVENT, WineBench, build_program, options, print_goal_table,
                      verdict)

GOAL_SECONDS = 5.0


class Bench(WineBench):
    temp_prefix = "okavu-update-bench-"

    def __init__(self, build_dir, root):
        self.okavu = build_program(build_dir, "OKAVU.exe")
        self.next_okavu = build_program(build_dir, "okavu-next", "OKAVU.exe")
        super().__init__(build_dir, root)

    def boot(self):
        super().boot()
        self.start_shell()
        self.start_update_host().publish(self.next_okavu)

    def process_running(self, windows_exe):
        for pid in self.prefix_pids():
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
            deadline = time.monotonic() + self.timeout
            # The helper starts the new version only once the old process has ended; from then on the
            # one process of that image is the new version.
            while time.monotonic() < deadline:
                if not old.running and self.process_running(exe_win):
                    started = time.time()
                    break
                time.sleep(POLL)
            if started is None:
                sys.exit(f"sample {n}: the new version did not start within {self.timeout} s")
            # The helper logs its last line only after the start returned; the new version's own lines follow.
            while not self.log_has("已拉起新版本", mark) or not self.log_has("监视启动，间隔",
                                                                       self.log_after_helper(mark)):
                if time.monotonic() > deadline:
                    sys.exit(f"sample {n}: the new version did not start watching")
                time.sleep(POLL)
            watching = time.time()
            requests = self.host.requests()
            manifest = next(r.time for r in requests if r.path == MANIFEST_PATH)
            download = next(r.time for r in requests if r.path.endswith(".exe"))
            rows.append((download - manifest, started - manifest, watching - manifest))
            self.tool("set-event", STOP_EVENT)
            self.wait_gone(exe_win)
        return rows

    def log_after_helper(self, mark):
        """Offset of the helper's "已拉起新版本" line in the log, so the old watcher's start is not counted."""
        return mark + self.log_after(mark).index("已拉起新版本".encode("utf-8"))

    def wait_gone(self, exe_win):
        deadline = time.monotonic() + self.timeout
        while self.process_running(exe_win):
            if time.monotonic() > deadline:
                sys.exit("the new version did not stop")
            time.sleep(POLL)


def main():
    parser = options(__doc__, samples=5)
    args = parser.parse_args()

    with Bench(args.build_dir, args.root) as bench:
        print(f"handover, {args.samples} samples ...", file=sys.stderr)
        handover = bench.handover(args.samples)

    download = [r[0] for r in handover]
    started = [r[1] for r in handover]
    watching = [r[2] for r in handover]
    print_goal_table([
        ("manifest found -> download done, median", f"{statistics.median(download) * 1000:.0f} ms", "", ""),
        ("manifest found -> new version started, median", f"{statistics.median(started) * 1000:.0f} ms", "", ""),
        ("manifest found -> new version started, worst", f"{max(started) * 1000:.0f} ms", f"< {GOAL_SECONDS:.0f} s",
         verdict(max(started) < GOAL_SECONDS)),
        ("manifest found -> new version watching, median", f"{statistics.median(watching) * 1000:.0f} ms", "", ""),
        ("manifest found -> new version watching, worst", f"{max(watching) * 1000:.0f} ms", f"< {GOAL_SECONDS:.0f} s",
         verdict(max(watching) < GOAL_SECONDS)),
    ])
    print(f"\n{args.samples} hand-overs of a {os.path.getsize(bench.next_okavu)} byte build over loopback.")


if __name__ == "__main__":
    main()
