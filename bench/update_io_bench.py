#!/usr/bin/env python3
"""Update I/O benchmark: the update code's SHA-256 and HTTPS download against the system's own tools.
Prints a table; it is a measurement, not a test.

  bench/update_io_bench.py --build-dir build [--samples 5]

It boots a Wine prefix of its own, makes a throwaway CA that only that prefix (and curl, through
--cacert) trusts, and serves files with Debian's nginx on port 443 of loopback (tests/e2e/update_host.py).
It needs bench/update_io_probe.exe and tests/testtool.exe of that build.

Measurements (medians over the samples, after one unmeasured warm-up each)
  sha256     a 64 MiB file in the prefix's drive C, read and hashed as the update cycle hashes a
             download: update_io_probe's HashFile (1 MiB reads into BCrypt's SHA-256) on a handle opened
             by HoldForReading, timed inside the process, against `sha256sum` on the same file, whose
             read and hash are its wall time less that of a run on an empty file (its process start), so
             that both sides count the same work. Ratio = sha256sum time / program time. Goal: at least
             0.8. Beside it the hash alone: Sha256Hex (BCrypt, the system's own SHA-256 under Wine) of
             the bytes already in memory, with its rate next to sha256sum's, which tells how much of the
             ratio is the system's SHA-256 and how much the reading; and the whole processes (a Wine
             start against a Linux one).
  download   a 32 MiB file from nginx over HTTPS: update_io_probe's HttpFetch into a file (WinHTTP, timed
             inside the process: session, TLS handshake, transfer, file written) against curl on the same
             URL into the same folder (curl's own time_total). Ratio = curl time / program time.
             Goal: at least 0.5. Measured as the update cycle downloads: after the manifest was fetched
             in the same process, which pays Wine's one-time set-up of its TLS and certificate store
             (about 0.2 s); the cold figure, a download as the process's first request, is shown too.
  signature  what a build with a publisher key adds to every check: CheckManifestSignature (base64,
             DER, SHA-256 and the ECDSA P-256 verification through bcrypt) on a manifest signed by
             tools/publish.py, median and best of 500 in one process, in microseconds; beside it the
             manifest fetch it follows (HttpFetch of the manifest, in the same process: the first
             fetch, which pays the TLS set-up, and the median of the later ones).

Standard library only (plus nginx, curl, sha256sum and openssl).
"""
import hashlib
import os
import statistics
import subprocess
import sys
import time

from benchlib import HERE, MANIFEST_PATH, WineBench, build_program, options, print_table, require, verdict

MIB = 1024 * 1024
HASH_BYTES = 64 * MIB
DOWNLOAD_BYTES = 32 * MIB
DOWNLOAD_PATH = "/files/OKAVU/bench-32m.bin"
SHA_GOAL = 0.8
DOWNLOAD_GOAL = 0.5


class Bench(WineBench):
    timeout = 300.0
    temp_prefix = "okavu-update-io-bench-"

    def __init__(self, build_dir, root):
        self.probe = build_program(build_dir, "bench", "update_io_probe.exe")
        # A release to sign: it has a version resource and carries the test publisher's key.
        self.okavu = build_program(build_dir, "okavu-keyed", "OKAVU.exe")
        super().__init__(build_dir, root)
        self.curl = require("curl")
        self.sha256sum = require("sha256sum")

    def boot(self):
        super().boot()
        self.start_update_host()
        self.folder = os.path.join(self.prefix.drive_c, "bench")
        os.makedirs(self.folder, exist_ok=True)

    def probe_run(self, *args):
        done = self.run(self.probe, *args)
        if done.exit_code != 0:
            sys.exit(f"update_io_probe {' '.join(args)} failed ({done.exit_code}): "
                     f"{done.stdout.decode(errors='replace')}{done.stderr.decode(errors='replace')}")
        return done.stdout.decode().split()

    # ---- measurements ------------------------------------------------------------------------------

    def timed_sha256sum(self, path):
        """(wall ms of one sha256sum process, its digest)"""
        started = time.perf_counter()
        done = subprocess.run([self.sha256sum, path], stdout=subprocess.PIPE, check=True)
        return (time.perf_counter() - started) * 1000, done.stdout.split()[0].decode()

    def sha256(self, samples):
        """[(program HashFile ms, program Sha256Hex-only ms, sha256sum read+hash ms, program process ms,
        sha256sum process ms)]"""
        data = os.urandom(HASH_BYTES)
        expected = hashlib.sha256(data).hexdigest()
        unix = os.path.join(self.folder, "hash-64m.bin")
        with open(unix, "wb") as f:
            f.write(data)
        empty = os.path.join(self.folder, "empty.bin")
        open(empty, "wb").close()
        rows = []
        for n in range(samples + 1):
            started = time.perf_counter()
            digest, size, cycle_ms, hash_ms = self.probe_run("sha256", "C:\\bench\\hash-64m.bin")
            program_process_ms = (time.perf_counter() - started) * 1000
            if digest != expected or int(size) != HASH_BYTES:
                sys.exit(f"update_io_probe hashed {size} bytes to {digest}, expected {expected}")
            tool_ms, tool_digest = self.timed_sha256sum(unix)
            if tool_digest != expected:
                sys.exit("sha256sum disagrees with Python's hashlib")
            start_ms, _ = self.timed_sha256sum(empty)
            if n > 0:  # the first round only warms the page cache
                rows.append((float(cycle_ms), float(hash_ms), max(tool_ms - start_ms, 0.001),
                             program_process_ms, tool_ms))
        return rows

    def signature(self, rounds):
        """(verify median us, verify best us, first manifest fetch ms, later fetch median ms)"""
        key_dir = os.path.join(HERE, "..", "tests", "keys")
        publish = os.path.join(HERE, "..", "tools", "publish.py")
        site = os.path.join(self.root, "signed-site")
        subprocess.run([sys.executable, publish, "--out", site, "--sign-key",
                        os.path.join(key_dir, "publisher-test.pem"), self.okavu], check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(site, "files", "OKAVU", "manifest.txt"), "rb") as f:
            manifest = f.read()
        with open(os.path.join(self.folder, "signed-manifest.txt"), "wb") as f:
            f.write(manifest)
        self.host.write_manifest(manifest)
        with open(os.path.join(key_dir, "publisher-test.pub.pem")) as f:
            key = "".join(line.strip() for line in f if not line.startswith("-----"))
        verdict, median_us, best_us = self.probe_run("verify", "C:\\bench\\signed-manifest.txt", key, str(rounds))
        if verdict != "0":
            sys.exit(f"the signed manifest did not verify (verdict {verdict})")
        first_ms, later_ms, _ = self.probe_run("manifest", MANIFEST_PATH, "21")
        return float(median_us), float(best_us), float(first_ms), float(later_ms)

    def download(self, samples):
        """[(program ms after the manifest, program ms as the first request, curl ms)]"""
        data = os.urandom(DOWNLOAD_BYTES)
        served = os.path.join(self.host.root, DOWNLOAD_PATH.lstrip("/"))
        os.makedirs(os.path.dirname(served), exist_ok=True)
        with open(served, "wb") as f:
            f.write(data)
        self.host.write_manifest("version=1.6.0.0\nurl=bench-32m.bin\n")
        program_file = os.path.join(self.folder, "fetch-program.bin")
        curl_file = os.path.join(self.folder, "fetch-curl.bin")
        rows = []
        for n in range(samples + 1):
            for path in (program_file, curl_file):
                if os.path.exists(path):
                    os.unlink(path)
            timings = []
            for first in ((MANIFEST_PATH,), ()):
                # The program writes a download only into a file of its own making.
                if os.path.exists(program_file):
                    os.unlink(program_file)
                ok, status, size, program_ms = self.probe_run("fetch", DOWNLOAD_PATH, "C:\\bench\\fetch-program.bin",
                                                              *first)
                if ok != "1" or status != "200" or int(size) != DOWNLOAD_BYTES:
                    sys.exit(f"HttpFetch: ok={ok} status={status} bytes={size}")
                timings.append(float(program_ms))
            done = subprocess.run([self.curl, "-sS", "--fail", "--cacert", self.chain.ca_pem, "-o", curl_file,
                                   "-w", "%{time_total}", "https://localhost" + DOWNLOAD_PATH],
                                  stdout=subprocess.PIPE, check=True, timeout=self.timeout)
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
    parser = options(__doc__, samples=5)
    args = parser.parse_args()

    with Bench(args.build_dir, args.root) as bench:
        print(f"sha256, {args.samples} samples ...", file=sys.stderr)
        sha = bench.sha256(args.samples)
        print(f"download, {args.samples} samples ...", file=sys.stderr)
        fetch = bench.download(args.samples)
        print("signature, 500 checks ...", file=sys.stderr)
        verify_us, verify_best_us, first_fetch_ms, fetch_ms = bench.signature(500)

    columns = {
        "sha256 64 MiB, program HashFile (read + hash, as the cycle)": ([r[0] for r in sha], HASH_BYTES),
        "sha256 64 MiB, system SHA-256 alone (Sha256Hex, BCrypt)": ([r[1] for r in sha], HASH_BYTES),
        "sha256 64 MiB, sha256sum read + hash": ([r[2] for r in sha], HASH_BYTES),
        "sha256 64 MiB, program whole process": ([r[3] for r in sha], HASH_BYTES),
        "sha256 64 MiB, sha256sum whole process": ([r[4] for r in sha], HASH_BYTES),
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

    ratio("sha256 ratio, sha256sum / HashFile", "sha256 64 MiB, sha256sum read + hash",
          "sha256 64 MiB, program HashFile (read + hash, as the cycle)", SHA_GOAL)
    ratio("sha256 ratio, sha256sum / system SHA-256 alone", "sha256 64 MiB, sha256sum read + hash",
          "sha256 64 MiB, system SHA-256 alone (Sha256Hex, BCrypt)")
    ratio("sha256 ratio, whole processes", "sha256 64 MiB, sha256sum whole process",
          "sha256 64 MiB, program whole process")
    ratio("download ratio curl / HttpFetch after manifest", "download 32 MiB, curl",
          "download 32 MiB, HttpFetch after manifest", DOWNLOAD_GOAL)
    ratio("download ratio curl / HttpFetch as first request", "download 32 MiB, curl",
          "download 32 MiB, HttpFetch as first request")

    rows.append(("signature check (CheckManifestSignature)", f"{verify_us:.0f} us", f"{verify_best_us:.0f} us", "", ""))
    rows.append(("manifest fetch, first in the process", f"{first_fetch_ms:.1f} ms", "", "", ""))
    rows.append(("manifest fetch, later ones", f"{fetch_ms:.1f} ms", "", "", ""))
    print_table(("measure", "median", "best", "rate", "goal"), rows, right=(1, 2, 3))
    print(f"\n{args.samples} samples each; ratios above 1 mean the program is faster; the goals are judged on "
          f"the medians.\nload average at the end: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores "
          f"(other work on the machine slows both sides unevenly).")


if __name__ == "__main__":
    main()
