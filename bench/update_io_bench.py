#!/usr/bin/env python3
"""Update I/O benchmark: the update code's SHA-256 and HTTPS download against the system's own tools.
Prints a table; it is a measurement, not a test.

  bench/update_io_bench.py --build-dir build [--samples 5]

It boots a Wine prefix of its own, makes a throwaway CA that only that prefix (and curl, through
--cacert) trusts, and serves files with Debian's nginx on port 443 of loopback (tests/e2e/update_host.py).
It needs bench/update_io_probe.exe and tests/testtool.exe of that build.

Measurements (medians over the samples, after one unmeasured warm-up each)
  sha256     a 64 MiB file in the prefix's drive C: update_io_probe's ReadAllBytes + Sha256Hex (bcrypt),
             timed inside the process, against `sha256sum` on the same file (whole process, wall clock).
             Ratio = sha256sum time / program time. Goal: at least 0.8.
  download   a 32 MiB file from nginx over HTTPS: update_io_probe's HttpFetch into a file (WinHTTP, timed
             inside the process: session, TLS handshake, transfer, file written) against curl on the same
             URL into the same folder (curl's own time_total). Ratio = curl time / program time.
             Goal: at least 0.5. Measured as the update cycle downloads: after the manifest was fetched
             in the same process, which pays Wine's one-time set-up of its TLS and certificate store
             (about 0.2 s); the cold figure, a download as the process's first request, is shown too.

Standard library only (plus nginx, curl, sha256sum and openssl).
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import tls  # noqa: E402
from update_host import UpdateHost  # noqa: E402
from wineprefix import Prefix, find_wine  # noqa: E402

MIB = 1024 * 1024
HASH_BYTES = 64 * MIB
DOWNLOAD_BYTES = 32 * MIB
DOWNLOAD_PATH = "/files/OKAVU/bench-32m.bin"
MANIFEST_PATH = "/files/OKAVU/manifest.txt"
SHA_GOAL = 0.8
DOWNLOAD_GOAL = 0.5
TIMEOUT = 300


def require(program):
    path = shutil.which(program)
    if not path:
        sys.exit(f"{program} not found: install it first")
    return path


class Bench:
    def __init__(self, build_dir, root):
        self.probe = os.path.join(build_dir, "bench", "update_io_probe.exe")
        self.testtool = os.path.join(build_dir, "tests", "testtool.exe")
        for path in (self.probe, self.testtool):
            if not os.path.exists(path):
                sys.exit(f"missing {path}: build the project with its tests first")
        self.curl = require("curl")
        self.sha256sum = require("sha256sum")
        self.root = root
        self.prefix = Prefix(os.path.join(root, "wine"))
        self.wine = find_wine()
        self.host = None
        self.chain = None

    def boot(self):
        print(f"booting a prefix in {self.prefix.root} ...", file=sys.stderr)
        self.prefix.boot()
        self.chain = tls.make_chain(os.path.join(self.root, "tls"))
        tls.import_ca(self.prefix, self.testtool, self.chain.ca_pem, wine=self.wine)
        self.host = UpdateHost(self.chain).start()
        self.folder = os.path.join(self.prefix.drive_c, "bench")
        os.makedirs(self.folder, exist_ok=True)

    def shutdown(self):
        if self.host:
            self.host.close()
        self.prefix.stop(quiet=True)

    def probe_run(self, *args):
        done = subprocess.run([self.wine, self.probe, *args], env=self.prefix.environ(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
        if done.returncode != 0:
            sys.exit(f"update_io_probe {' '.join(args)} failed ({done.returncode}): "
                     f"{done.stdout.decode(errors='replace')}{done.stderr.decode(errors='replace')}")
        return done.stdout.decode().split()

    # ---- measurements ------------------------------------------------------------------------------

    def sha256(self, samples):
        """[(program read+hash ms, program hash-only ms, sha256sum ms)]"""
        data = os.urandom(HASH_BYTES)
        expected = hashlib.sha256(data).hexdigest()
        unix = os.path.join(self.folder, "hash-64m.bin")
        with open(unix, "wb") as f:
            f.write(data)
        rows = []
        for n in range(samples + 1):
            digest, size, read_ms, hash_ms = self.probe_run("sha256", "C:\\bench\\hash-64m.bin")
            if digest != expected or int(size) != HASH_BYTES:
                sys.exit(f"update_io_probe hashed {size} bytes to {digest}, expected {expected}")
            started = time.perf_counter()
            done = subprocess.run([self.sha256sum, unix], stdout=subprocess.PIPE, check=True)
            tool_ms = (time.perf_counter() - started) * 1000
            if done.stdout.split()[0].decode() != expected:
                sys.exit("sha256sum disagrees with Python's hashlib")
            if n > 0:  # the first round only warms the page cache
                rows.append((float(read_ms) + float(hash_ms), float(hash_ms), tool_ms))
        return rows

    def download(self, samples):
        """[(program ms after the manifest, program ms as the first request, curl ms)]"""
        data = os.urandom(DOWNLOAD_BYTES)
        served = os.path.join(self.host.root, DOWNLOAD_PATH.lstrip("/"))
        os.makedirs(os.path.dirname(served), exist_ok=True)
        with open(served, "wb") as f:
            f.write(data)
        with open(os.path.join(self.host.root, MANIFEST_PATH.lstrip("/")), "wb") as f:
            f.write(b"version=1.6.0.0\nurl=bench-32m.bin\n")
        program_file = os.path.join(self.folder, "fetch-program.bin")
        curl_file = os.path.join(self.folder, "fetch-curl.bin")
        rows = []
        for n in range(samples + 1):
            for path in (program_file, curl_file):
                if os.path.exists(path):
                    os.unlink(path)
            timings = []
            for first in ((MANIFEST_PATH,), ()):
                ok, status, size, program_ms = self.probe_run("fetch", DOWNLOAD_PATH, "C:\\bench\\fetch-program.bin",
                                                              *first)
                if ok != "1" or status != "200" or int(size) != DOWNLOAD_BYTES:
                    sys.exit(f"HttpFetch: ok={ok} status={status} bytes={size}")
                timings.append(float(program_ms))
            done = subprocess.run([self.curl, "-sS", "--fail", "--cacert", self.chain.ca_pem, "-o", curl_file,
                                   "-w", "%{time_total}", "https://localhost" + DOWNLOAD_PATH],
                                  stdout=subprocess.PIPE, check=True, timeout=TIMEOUT)
            curl_ms = float(done.stdout.decode()) * 1000
            for path in (program_file, curl_file):
                with open(path, "rb") as f:
                    if f.read() != data:
                        sys.exit(f"{path} differs from the served file")
            if n > 0:
                rows.append((timings[0], timings[1], curl_ms))
        return rows


def rate(size, ms):
    return f"{size / MIB / (ms / 1000):.0f} MiB/s"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--root", help="state folder for the prefix (default: a fresh temporary folder)")
    parser.add_argument("--samples", type=int, default=5)
    args = parser.parse_args()

    root = args.root or tempfile.mkdtemp(prefix="okavu-update-io-bench-")
    bench = Bench(os.path.abspath(args.build_dir), root)
    try:
        bench.boot()
        print(f"sha256, {args.samples} samples ...", file=sys.stderr)
        sha = bench.sha256(args.samples)
        print(f"download, {args.samples} samples ...", file=sys.stderr)
        fetch = bench.download(args.samples)
    finally:
        bench.shutdown()
        if not args.root:
            shutil.rmtree(root, ignore_errors=True)

    columns = {
        "sha256 64 MiB, program read + hash": ([r[0] for r in sha], HASH_BYTES),
        "sha256 64 MiB, program Sha256Hex only": ([r[1] for r in sha], HASH_BYTES),
        "sha256 64 MiB, sha256sum": ([r[2] for r in sha], HASH_BYTES),
        "download 32 MiB, HttpFetch after manifest": ([r[0] for r in fetch], DOWNLOAD_BYTES),
        "download 32 MiB, HttpFetch as first request": ([r[1] for r in fetch], DOWNLOAD_BYTES),
        "download 32 MiB, curl": ([r[2] for r in fetch], DOWNLOAD_BYTES),
    }
    rows = []
    for name, (values, size) in columns.items():
        rows.append((name, f"{statistics.median(values):.0f} ms", f"{min(values):.0f} ms",
                     rate(size, statistics.median(values)), ""))

    def ratio(name, reference, program, goal=None):
        med = statistics.median(columns[reference][0]) / statistics.median(columns[program][0])
        best = min(columns[reference][0]) / min(columns[program][0])
        rows.append((name, f"{med:.2f}", f"{best:.2f}", "", f">= {goal} {verdict(med >= goal)}" if goal else ""))

    ratio("sha256 ratio sha256sum / Sha256Hex", "sha256 64 MiB, sha256sum", "sha256 64 MiB, program Sha256Hex only",
          SHA_GOAL)
    ratio("sha256 ratio sha256sum / read + hash", "sha256 64 MiB, sha256sum", "sha256 64 MiB, program read + hash")
    ratio("download ratio curl / HttpFetch after manifest", "download 32 MiB, curl",
          "download 32 MiB, HttpFetch after manifest", DOWNLOAD_GOAL)
    ratio("download ratio curl / HttpFetch as first request", "download 32 MiB, curl",
          "download 32 MiB, HttpFetch as first request")

    header = ("measure", "median", "best", "rate", "goal")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(4)]
    print(f"{header[0]:<{widths[0]}}  {header[1]:>{widths[1]}}  {header[2]:>{widths[2]}}  {header[3]:>{widths[3]}}  "
          f"{header[4]}")
    for name, med, best, speed, goal in rows:
        print(f"{name:<{widths[0]}}  {med:>{widths[1]}}  {best:>{widths[2]}}  {speed:>{widths[3]}}  {goal}".rstrip())
    print(f"\n{args.samples} samples each; ratios above 1 mean the program is faster; the goals are judged on "
          f"the medians.\nload average at the end: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores "
          f"(other work on the machine slows both sides unevenly).")


def verdict(ok):
    return "met" if ok else "MISSED"


if __name__ == "__main__":
    main()
