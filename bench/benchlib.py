"""What the benchmarks share: a Wine prefix of their own (Xvfb, persistent wineserver, built by
tests/e2e/wineprefix.py), the programs of a build, the stand-in shell, the update host with a CA only that
prefix trusts, the program's log file, the common options and the result table.

A benchmark subclasses WineBench, adds its set-up to boot() and its measurements as methods, and runs
them inside `with`: everything it started is stopped and a temporary state folder removed, also when a
measurement gives up with sys.exit.

Standard library only.
"""
import argparse
import os
import shutil
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
STOP_EVENT = r"Local\OKAVU_Quillmere_Stop"
MANIFEST_PATH = "/files/OKAVU/manifest.txt"
SHELL_READY_MS = "15000"


def options(description, samples):
    """The options of every benchmark (--build-dir, --root, --samples); a script adds its own."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--root", help="state folder for the prefix (default: a fresh temporary folder)")
    parser.add_argument("--samples", type=int, default=samples)
    return parser


def build_program(build_dir, *parts):
    """The path of a program of the build; ends the benchmark when it is missing."""
    path = os.path.join(os.path.abspath(build_dir), *parts)
    if not os.path.exists(path):
        sys.exit(f"missing {path}: build the project with its tests first")
    return path


def require(program):
    """The path of a host tool on PATH; ends the benchmark when it is missing."""
    path = shutil.which(program)
    if not path:
        sys.exit(f"{program} not found: install it first")
    return path


class WineBench:
    """A prefix in ROOT/wine and the Wine programs a benchmark starts there."""

    timeout = 60.0  # seconds a program or tool run may take
    temp_prefix = "okavu-bench-"

    def __init__(self, build_dir, root=None):
        self.testtool = build_program(build_dir, "tests", "testtool.exe")
        self.wine = find_wine()
        self.root = root
        self.temporary = False
        self.prefix = None
        self.started = []
        self.host = None
        self.chain = None
        self.log = None

    # ---- lifetime ---------------------------------------------------------------------------------

    def __enter__(self):
        if not self.root:
            self.root = tempfile.mkdtemp(prefix=self.temp_prefix)
            self.temporary = True
        self.prefix = Prefix(os.path.join(self.root, "wine"))
        try:
            self.boot()
        except BaseException:
            self.shutdown()
            raise
        return self

    def __exit__(self, *exc):
        self.shutdown()

    def boot(self):
        """Boots the prefix; subclasses add their set-up after calling this."""
        print(f"booting a prefix in {self.prefix.root} ...", file=sys.stderr)
        self.prefix.boot()
        self.log = os.path.join(self.prefix.user_dir, "AppData", "Local", "OKAVU-wallpaper", "guard.log")

    def shutdown(self):
        for running in self.started:
            running.kill()
        if self.host:
            self.host.close()
        self.prefix.stop(quiet=True)
        if self.temporary:
            shutil.rmtree(self.root, ignore_errors=True)

    # ---- processes --------------------------------------------------------------------------------

    def start(self, exe, *args, console=False):
        running = Running([self.wine, exe, *args], self.prefix.environ(), self.prefix.drive_c, console)
        self.started.append(running)
        return running

    def run(self, exe, *args):
        """Runs exe to its end and returns its Result; ends the benchmark when it takes too long."""
        running = self.start(exe, *args)
        result = running.wait(self.timeout)
        if result is None:
            running.kill()
            sys.exit(f"{exe} {' '.join(args)} did not end within {self.timeout} s")
        return result

    def tool(self, *args):
        result = self.run(self.testtool, *args)
        if result.exit_code != 0:
            sys.exit(f"testtool {' '.join(args)} failed: {result.describe()}")
        return result

    def prefix_pids(self):
        """Every process of this prefix, the wineserver included."""
        return processes_with_env(b"WINEPREFIX=" + os.fsencode(self.prefix.path))

    # ---- set-up pieces ----------------------------------------------------------------------------

    def start_shell(self):
        """The stand-in shell, ready; it runs until shutdown."""
        ready, quit_event = "OKAVU_Bench_shell_ready", "OKAVU_Bench_shell_quit"
        shell = self.start(self.testtool, "shell", "--ready", ready, "--quit", quit_event)
        self.tool("wait-event", ready, SHELL_READY_MS)
        return shell

    def start_update_host(self):
        """nginx on port 443 of loopback with a certificate from a CA that only this prefix trusts."""
        self.chain = tls.make_chain(os.path.join(self.root, "tls"))
        tls.import_ca(self.prefix, self.testtool, self.chain.ca_pem, wine=self.wine)
        self.host = UpdateHost(self.chain).start()
        return self.host

    # ---- log --------------------------------------------------------------------------------------

    def log_size(self):
        try:
            return os.path.getsize(self.log)
        except FileNotFoundError:
            return 0

    def log_after(self, since):
        """The log's bytes from byte offset since on (empty without a log)."""
        try:
            with open(self.log, "rb") as f:
                f.seek(since)
                return f.read()
        except FileNotFoundError:
            return b""

    def log_has(self, text, since):
        return text.encode("utf-8") in self.log_after(since)

    def wait_log(self, text, since, timeout=None):
        """Polls the log for a line containing text after byte offset since; returns the time it was seen."""
        timeout = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + timeout
        while True:
            if self.log_has(text, since):
                return time.monotonic()
            if time.monotonic() > deadline:
                sys.exit(f"no log line with {text!r} within {timeout} s")
            time.sleep(POLL)


# ---- results --------------------------------------------------------------------------------------


def verdict(ok):
    return "met" if ok else "MISSED"


def print_table(header, rows, right=()):
    """Rows of text cells under header, two blanks apart; the columns numbered in right are aligned
    right, and the last column is not padded."""
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header) - 1)]
    for row in [header, *rows]:
        cells = [f"{cell:>{width}}" if i in right else f"{cell:<{width}}"
                 for i, (cell, width) in enumerate(zip(row, widths))]
        print("  ".join([*cells, row[-1]]).rstrip())


def print_goal_table(rows):
    """Rows of (measure, value, goal, verdict); goal and verdict are empty where there is no goal."""
    print_table(("measure", "value", "goal"), [(name, value, f"{goal} {ok}") for name, value, goal, ok in rows])
