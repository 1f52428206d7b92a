#!/usr/bin/env python3
"""Watch-mode benchmark: how fast a watcher puts the wallpaper back and rebuilds a deleted target, what it
costs idle and in a fight with another program, and what a plain one-shot run costs next to a trivial
console program. Every watch figure is measured twice in the same run: for this build, which also acts on
change notices, and for a build that acts on its timer alone (by default the build of the commit before
change notices came in, built once into BUILD/bench-baseline/). Prints a table; it is a measurement, not
a test.

It boots a Wine prefix of its own (with Xvfb, a persistent wineserver and the stand-in shell of the test
tree), so nothing of the test suite's prefix is touched:

  bench/watch_bench.py --build-dir build               # OKAVU.exe and tests/testtool.exe of that build
  bench/watch_bench.py --baseline-exe old/OKAVU.exe    # another timer-only build to compare with

Measurements
  reaction   another program (one testtool process that sets its picture each time the benchmark writes
             a line to it, so no process start is timed) sets a different wallpaper; time from the line
             to the watcher's log line "已改回目标墙纸" (WatchLoop's pass on a DesktopChanges notice;
             the log is polled every 2 ms), confirmed in the
             registry. At "-i 3" and at "-i 60"; random phases; a fresh watcher every 4 samples, so that
             the samples never look like a fight. Goal: median under 100 ms, worst under 250 ms.
  rebuild    the target file is deleted; time to the watcher's "已改回目标墙纸" after its rebuild. Same
             intervals and goal.
  idle       CPU time (user + system, from /proc) of the watcher process over 60 s of watching with
             nothing to do, as a share of one core, and its resident memory. The update host answers
             (nginx on loopback, publishing the program's own version, so every check finds nothing
             newer), as it would on a desktop. Goal: below 0.1 %.
  fight      the other program sets its picture 10 times a second for 30 s; the watcher's CPU over that
             time and the log lines it wrote. Goal: below 5 % of a core.
  one-shot   wall time of a plain run (no arguments) and of a trivial console program (testtool
             print-args), both started the same way under the same warm wineserver; medians.
             Goal: less than 150 ms more.

The timer-only build at "-i 60" takes up to two minutes a sample; --slow-samples sets how many it gets.
Standard library only.
"""
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

from benchlib import HERE, MANIFEST_PATH, STOP_EVENT, WineBench, build_program, options, print_goal_table, verdict

DESKTOP_KEY = r"Control Panel\Desktop"
CLK_TCK = os.sysconf("SC_CLK_TCK")
REPO = os.path.abspath(os.path.join(HERE, ".."))
SAMPLES_PER_WATCHER = 4  # below the five repairs a minute that a watcher takes for a fight


class Bench(WineBench):
    timeout = 150.0  # a timer-only sample at "-i 60" may take two intervals
    temp_prefix = "okavu-watch-bench-"

    def __init__(self, build_dir, root):
        self.okavu = build_program(build_dir, "OKAVU.exe")
        super().__init__(build_dir, root)

    def boot(self):
        super().boot()
        self.start_shell()
        self.other = os.path.join(self.prefix.drive_c, "other.png")
        shutil.copyfile(os.path.join(HERE, "..", "resources", "OKAVU.png"), self.other)
        self.other_win = "C:\\other.png"
        self.target_win = f"C:\\users\\{self.prefix.user}\\Pictures\\OKAVU-wallpaper.png"
        self.target_path = os.path.join(self.prefix.user_dir, "Pictures", "OKAVU-wallpaper.png")
        # The other program: sets its picture once for every line it reads.
        self.setter = subprocess.Popen([self.wine, self.testtool, "set-wallpaper", self.other_win, "--on-input"],
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       env=self.prefix.environ(), cwd=self.prefix.drive_c)

    def shutdown(self):
        if getattr(self, "setter", None):
            self.setter.stdin.close()
            self.setter.wait(10)
        super().shutdown()

    def set_elsewhere(self):
        """Has the other program set its picture; returns the moment the request left."""
        began = time.monotonic()
        self.setter.stdin.write(b"\n")
        self.setter.stdin.flush()
        return began

    def registry_wallpaper(self):
        out = self.tool("reg-get", "HKCU", DESKTOP_KEY, "Wallpaper").stdout.decode("utf-8")
        return out.partition("\n")[2].rstrip("\n")

    def wineserver_pid(self):
        for pid in self.prefix_pids():
            try:
                if os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver"):
                    return pid
            except OSError:
                pass
        return None

    def start_watcher(self, exe, *args):
        mark = self.log_size()
        watcher = self.start(exe, "--watch", *args)
        self.wait_log("监视启动", mark)
        return watcher

    def stop_watcher(self, watcher):
        self.tool("set-event", STOP_EVENT)
        result = watcher.wait(self.timeout)
        if result is None or result.exit_code != 0:
            sys.exit(f"the watcher did not end cleanly: {result.describe() if result else 'still running'}")

    # ---- measurements ------------------------------------------------------------------------------

    def repairs(self, exe, interval, samples, disturb, mark_text):
        """Milliseconds from each disturbance to the watcher's repair; disturb() does it and returns when
        it began. A fresh watcher every few samples; a random phase against its timer before each."""
        times = []
        watcher = None
        for n in range(samples):
            if n % SAMPLES_PER_WATCHER == 0:
                if watcher:
                    self.stop_watcher(watcher)
                watcher = self.start_watcher(exe, "-i", str(interval))
            # Past the second a watcher leaves between two repairs that change notices set off.
            time.sleep(random.uniform(1.1, min(interval, 3) + 1.1))
            mark = self.log_size()
            began = disturb()
            if mark_text:
                self.wait_log(mark_text, mark)
            repaired = self.wait_log("已改回目标墙纸", mark)
            times.append((repaired - began) * 1000)
            if self.registry_wallpaper() != self.target_win:
                sys.exit("the registry does not name the target after the repair")
        self.stop_watcher(watcher)
        return times

    def reaction(self, exe, interval, samples):
        return self.repairs(exe, interval, samples, self.set_elsewhere, None)

    def rebuild(self, exe, interval, samples):
        def delete():
            began = time.monotonic()
            os.unlink(self.target_path)
            return began

        return self.repairs(exe, interval, samples, delete, "目标墙纸文件丢失")

    def server_baseline(self, seconds):
        """wineserver CPU over seconds with no watcher: what the prefix costs anyway."""
        server = self.wineserver_pid()
        if not server:
            return float("nan")
        before = cpu_sample(server)
        began = time.monotonic()
        time.sleep(seconds)
        return cpu_used(before, cpu_sample(server)) / (time.monotonic() - began)

    def idle(self, exe, seconds):
        # The host publishes this very build: every check is a full manifest fetch that finds nothing newer.
        host = self.host or self.start_update_host()
        host.publish(exe)
        host.clear_requests()
        watcher = self.start_watcher(exe)
        # Let the start-up settle (first pass and the update thread's first attempt at 5 s).
        time.sleep(6)
        mark = self.log_size()
        server = self.wineserver_pid()
        before = cpu_sample(watcher.pid)
        server_before = cpu_sample(server) if server else None
        began = time.monotonic()
        time.sleep(seconds)
        after = cpu_sample(watcher.pid)
        server_used = cpu_used(server_before, cpu_sample(server)) if server else float("nan")
        elapsed = time.monotonic() - began
        lines = self.log_after(mark).decode("utf-8", "replace").splitlines()
        figures = {"used": cpu_used(before, after), "detail": cpu_delta(before, after), "server": server_used,
                   "elapsed": elapsed, "rss": resident_kib(watcher.pid), "lines": lines}
        self.stop_watcher(watcher)
        figures["checks"] = sum(1 for request in host.requests() if request.path == MANIFEST_PATH)
        if not figures["checks"]:
            sys.exit("the idle watcher never asked the update host")
        return figures

    def fight(self, exe, seconds, per_second):
        """The other program sets its picture per_second times a second for seconds: (the watcher's
        CPU share of a core, the log lines it wrote, the repairs among them)."""
        watcher = self.start_watcher(exe)
        time.sleep(1)
        mark = self.log_size()
        before = cpu_sample(watcher.pid)
        began = time.monotonic()
        n = 0
        while time.monotonic() - began < seconds:
            self.set_elsewhere()
            n += 1
            time.sleep(max(0.0, began + n / per_second - time.monotonic()))
        used = cpu_used(before, cpu_sample(watcher.pid)) / (time.monotonic() - began)
        lines = self.log_after(mark).decode("utf-8", "replace").splitlines()
        self.stop_watcher(watcher)
        return used, lines, sum(1 for line in lines if "已改回目标墙纸" in line)

    def one_shot(self, rounds):
        self.run(self.okavu)  # stages the file once; later runs find it in place
        okavu, trivial = [], []
        for _ in range(rounds):
            for runs, exe, args in ((okavu, self.okavu, ()), (trivial, self.testtool, ("print-args", "x"))):
                began = time.monotonic()
                result = self.run(exe, *args)
                runs.append((time.monotonic() - began) * 1000)
                if result.exit_code != 0:
                    sys.exit(f"{exe} failed: {result.describe()}")
        return okavu, trivial


def baseline_exe(build_dir, rev):
    """OKAVU.exe built from rev of this repository (Release, no tests) into BUILD/bench-baseline/SHA;
    built once and kept."""
    sha = subprocess.run(["git", "-C", REPO, "rev-parse", "--verify", rev + "^{commit}"], check=True,
                         capture_output=True, text=True).stdout.strip()
    folder = os.path.join(os.path.abspath(build_dir), "bench-baseline", sha[:12])
    exe = os.path.join(folder, "build", "OKAVU.exe")
    if os.path.exists(exe):
        return exe, sha
    print(f"building the timer-only baseline {sha[:12]} ...", file=sys.stderr)
    source = os.path.join(folder, "src")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    archive = subprocess.run(["git", "-C", REPO, "archive", "--prefix=src/", sha], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", folder], input=archive, check=True)
    subprocess.run(["cmake", "-S", source, "-B", os.path.join(folder, "build"), "-DCMAKE_BUILD_TYPE=Release",
                    "-DOKAVU_BUILD_TESTS=OFF", "-DOKAVU_UPDATE_HOST=localhost",
                    "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "mingw-w64-x86_64.cmake")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", os.path.join(folder, "build"), "--target", "OKAVU", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return exe, sha


def default_baseline_rev():
    """The commit before the one that brought change notices in; HEAD while they are not committed."""
    added = subprocess.run(["git", "-C", REPO, "log", "--diff-filter=A", "--format=%H", "--",
                            "src/wallpaper/desktop_changes.cpp"], capture_output=True, text=True).stdout.split()
    return added[-1] + "^" if added else "HEAD"


def cpu_sample(pid):
    """({thread id: nanosecond count}, clock ticks of the whole process in seconds) of pid. The ticks of
    /proc/PID/stat are too coarse for a few milliseconds a minute; the per-thread scheduler counts miss
    threads that ended in between. A difference of two samples takes the larger of the two."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                threads[tid] = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return threads, ticks


def cpu_delta(before, after):
    """(seconds the threads alive at the end ran in between, seconds of ticks in between)."""
    ns = sum(value - before[0].get(tid, 0) for tid, value in after[0].items())
    return ns / 1e9, after[1] - before[1]


def cpu_used(before, after):
    return max(cpu_delta(before, after))


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        m = re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M)
    return int(m.group(1)) if m else -1


def spread(times):
    return f"{statistics.median(times):.0f} / {max(times):.0f} ms" if times else "-"


def main():
    parser = options(__doc__, samples=20)
    parser.add_argument("--slow-samples", type=int, default=3,
                        help="samples of the timer-only build at -i 60 (each may take two minutes)")
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    parser.add_argument("--fight-seconds", type=float, default=30.0)
    parser.add_argument("--one-shot-rounds", type=int, default=15)
    parser.add_argument("--baseline-exe", help="a timer-only OKAVU.exe to compare with")
    parser.add_argument("--baseline-rev", help="the commit to build the timer-only OKAVU.exe from")
    args = parser.parse_args()

    if args.baseline_exe:
        timer_only, label = os.path.abspath(args.baseline_exe), args.baseline_exe
    else:
        timer_only, sha = baseline_exe(args.build_dir, args.baseline_rev or default_baseline_rev())
        label = sha[:12]

    results = {}
    with Bench(args.build_dir, args.root) as bench:
        builds = (("notices", bench.okavu), ("timer", timer_only))
        for interval in (3, 60):
            for name, exe in builds:
                samples = args.slow_samples if (name, interval) == ("timer", 60) else args.samples
                print(f"reaction and rebuild, -i {interval}, {name} ({samples} samples) ...", file=sys.stderr)
                results[name, "reaction", interval] = bench.reaction(exe, interval, samples)
                results[name, "rebuild", interval] = bench.rebuild(exe, interval, samples)
        print(f"idle, {args.idle_seconds:.0f} s without and with each watcher ...", file=sys.stderr)
        baseline = bench.server_baseline(args.idle_seconds)
        for name, exe in builds:
            results[name, "idle"] = bench.idle(exe, args.idle_seconds)
        print(f"fight, {args.fight_seconds:.0f} s at 10 sets a second, each watcher ...", file=sys.stderr)
        for name, exe in builds:
            results[name, "fight"] = bench.fight(exe, args.fight_seconds, 10)
        print("one-shot ...", file=sys.stderr)
        okavu, trivial = bench.one_shot(args.one_shot_rounds)

    rows = []
    for what, title in (("reaction", "reaction"), ("rebuild", "rebuild")):
        for interval in (3, 60):
            times = results["notices", what, interval]
            ok = statistics.median(times) < 100 and max(times) < 250
            rows.append((f"{title} -i {interval}, median / worst", spread(times), "< 100 / < 250 ms", verdict(ok)))
            rows.append((f"  timer only, median / worst", spread(results["timer", what, interval]), "", ""))
    for name, title in (("notices", "idle watcher CPU"), ("timer", "  timer only")):
        idle = results[name, "idle"]
        share = idle["used"] / idle["elapsed"]
        rows.append((f"{title} over {idle['elapsed']:.0f} s, {idle['checks']} update checks",
                     f"{idle['used'] * 1000:.1f} ms = {share * 100:.4f} % of a core",
                     "< 0.1 %" if name == "notices" else "", verdict(share < 0.001) if name == "notices" else ""))
    idle = results["notices", "idle"]
    rows += [
        ("  live threads / whole process", f"{idle['detail'][0] * 1000:.1f} ms / {idle['detail'][1] * 1000:.0f} ms"
         f" (ticks of {1000 / CLK_TCK:.0f} ms)", "", ""),
        ("  wineserver, with the watcher", f"{idle['server'] / idle['elapsed'] * 100:.3f} % of a core", "", ""),
        ("  wineserver, without a watcher", f"{baseline * 100:.3f} % of a core", "", ""),
        ("idle resident memory", f"{idle['rss'] / 1024:.1f} MiB", "", ""),
    ]
    for name, title in (("notices", "fight, 10 sets/s"), ("timer", "  timer only")):
        used, lines, repaired = results[name, "fight"]
        rows.append((f"{title} for {args.fight_seconds:.0f} s: CPU, log lines, repairs",
                     f"{used * 100:.2f} % of a core, {len(lines)} lines, {repaired} repairs",
                     "< 5 %" if name == "notices" else "", verdict(used < 0.05) if name == "notices" else ""))
    rows += [
        ("one-shot run, median", f"{statistics.median(okavu):.0f} ms", "", ""),
        ("trivial console exe, median", f"{statistics.median(trivial):.0f} ms", "", ""),
        ("one-shot extra", f"{statistics.median(okavu) - statistics.median(trivial):.0f} ms", "< 150 ms",
         verdict(statistics.median(okavu) - statistics.median(trivial) < 150)),
    ]
    print_goal_table(rows)
    print(f"\nthis build: {bench.okavu}; timer only: {label}")
    print(f"{args.samples} samples each ({args.slow_samples} for the timer-only build at -i 60); "
          f"one-shot medians of {args.one_shot_rounds} runs each.")
    print(f"log lines during the idle minute: {len(idle['lines'])}")
    for line in idle["lines"]:
        print(f"  {line}")
    print("log lines of the fight (this build):")
    for line in results["notices", "fight"][1]:
        print(f"  {line}")


if __name__ == "__main__":
    main()
