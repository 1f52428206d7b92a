#!/usr/bin/env python3
"""What one watcher's update checks cost the update host, read from nginx's own log. Prints a table; it
is a measurement, not a test.

It boots a Wine prefix of its own with the stand-in shell and serves the update host with Debian's nginx
on port 443 of loopback (tests/e2e/update_host.py: static files, so ETag and Last-Modified as nginx sends
them by default, keep-alive with nginx's defaults), and logs for each request its status, If-None-Match,
$connection, $connection_requests and $ssl_session_reused:

  bench/check_bench.py --build-dir build [--seconds 60]

It needs OKAVU.exe, tests/testtool.exe and build/fleet-sim/fleet_sim of that build.

Measurements
  checks  a watcher ("--watch --update-interval 5") with nothing newer published, for --seconds from its
          first request: requests and their statuses, the connections they came on and requests per
          connection, TLS session reuse, body bytes; the mean time between checks.
  rate    the simulation's per-desktop request rate at the same interval (fleet_sim --interval 5,
          100 desktops, the mean of 09:00-16:00 divided by the desktops) against the watcher's.
  busy    the manifest answered with 503 and "Retry-After: 120": the watcher's first request, then how many
          came within 120 s of it (watched for 130 s).

Goals: every check after the first answered 304; one connection for all checks; no request within 120 s
after a 503 with Retry-After: 120; the watcher's rate within 10 % of the simulation's.

Under Wine a connection outlives its WinHTTP session, so "one connection" would hold here even for a
program that opened a session per check; that the program keeps one session for the life of the process
(UpdateChannel::session(), src/update/http_fetch.h) is what makes it hold on Windows, where pooled
connections die with their session.

Standard library only.
"""
import os
import re
import shutil
import subprocess
import sys
import time

from benchlib import MANIFEST_PATH, POLL, STOP_EVENT, WineBench, build_program, options, print_goal_table, verdict

INTERVAL = 5
RETRY_AFTER = 120
SIM_DESKTOPS = 100
RATE_TOLERANCE = 0.10


class Bench(WineBench):
    temp_prefix = "okavu-check-bench-"

    def __init__(self, build_dir, root):
        self.okavu = build_program(build_dir, "OKAVU.exe")
        self.sim = build_program(build_dir, "fleet-sim", "fleet_sim")
        super().__init__(build_dir, root)

    def boot(self):
        super().boot()
        self.start_shell()
        self.start_update_host().publish(self.okavu)  # the running version: nothing newer

    def watch(self, name, seconds):
        """Runs a watcher for seconds after its first manifest request; returns its manifest requests."""
        folder = os.path.join(self.prefix.drive_c, "bench", name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        shutil.copyfile(self.okavu, os.path.join(folder, "OKAVU.exe"))
        self.host.clear_requests()
        watcher = self.start(f"C:\\bench\\{name}\\OKAVU.exe", "--watch", "--update-interval", str(INTERVAL))
        deadline = time.monotonic() + self.timeout
        while not self.manifest_requests():
            if time.monotonic() > deadline:
                sys.exit(f"{name}: no manifest request within {self.timeout} s")
            time.sleep(POLL)
        first = self.manifest_requests()[0].time
        time.sleep(max(0.0, first + seconds - time.time()))  # the measurement is the time itself
        self.tool("set-event", STOP_EVENT)
        if watcher.wait(self.timeout) is None:
            sys.exit(f"{name}: the watcher did not stop")
        return self.manifest_requests()

    def manifest_requests(self):
        return [r for r in self.host.requests() if r.path == MANIFEST_PATH]

    def simulated_rate(self):
        """Requests per second of one desktop in the simulation at INTERVAL (after the change)."""
        done = subprocess.run([self.sim, "--desktops", str(SIM_DESKTOPS), "--interval", str(INTERVAL)],
                              capture_output=True, text=True, check=False)
        found = re.search(r"manifest requests/s, mean 09:00-16:00\s+([\d,.]+)\s+([\d,.]+)", done.stdout)
        if not found:
            sys.exit(f"fleet_sim gave no request rate:\n{done.stdout}{done.stderr}")
        return float(found.group(2).replace(",", "")) / SIM_DESKTOPS


def main():
    parser = options(__doc__, samples=1)
    parser.add_argument("--seconds", type=float, default=60.0, help="how long the watcher checks (default 60)")
    args = parser.parse_args()

    with Bench(args.build_dir, args.root) as bench:
        print(f"checks: one watcher for {args.seconds:.0f} s ...", file=sys.stderr)
        checks = bench.watch("checks", args.seconds)
        print(f"busy: 503 with Retry-After: {RETRY_AFTER} ...", file=sys.stderr)
        bench.host.answer_manifest(503, {"Retry-After": str(RETRY_AFTER)})
        busy = bench.watch("busy", RETRY_AFTER + 10)
        simulated = bench.simulated_rate()

    if len(checks) < 2:
        sys.exit(f"only {len(checks)} check(s) in {args.seconds} s")
    statuses = [r.status for r in checks]
    connections = sorted({r.connection for r in checks})
    span = checks[-1].time - checks[0].time
    measured = (len(checks) - 1) / span
    later = [r for r in busy[1:] if r.time - busy[0].time < RETRY_AFTER]
    print_goal_table([
        ("checks in the minute", str(len(checks)), "", ""),
        ("statuses", f"{statuses[0]}, then " + ", ".join(f"{statuses[1:].count(s)} x {s}" for s in
                                                          sorted(set(statuses[1:]))), "200, then 304 only",
         verdict(statuses[0] == 200 and set(statuses[1:]) == {304})),
        ("connections (nginx $connection)", str(len(connections)), "1", verdict(len(connections) == 1)),
        ("requests on the last connection", str(checks[-1].connection_requests), "", ""),
        ("TLS sessions resumed", str(sum(1 for r in checks if r.reused == "r")), "", ""),
        ("body bytes: first answer, each 304", f"{checks[0].bytes} B, {max(r.bytes for r in checks[1:])} B", "", ""),
        ("mean time between checks", f"{span / (len(checks) - 1):.2f} s", "", ""),
        ("per-desktop rate: watcher / simulation", f"{measured:.4f} / {simulated:.4f} per s",
         f"within {RATE_TOLERANCE:.0%}", verdict(abs(measured - simulated) <= RATE_TOLERANCE * simulated)),
        (f"503 + Retry-After: {RETRY_AFTER}: requests within {RETRY_AFTER} s after it", str(len(later)), "0",
         verdict(len(busy) >= 1 and not later)),
    ])


if __name__ == "__main__":
    main()
