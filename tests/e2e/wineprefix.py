#!/usr/bin/env python3
"""The one Wine prefix a test run (or scripts/run.sh) shares: boot, enter, stop.

A state folder ROOT holds everything of one run:
  ROOT/prefix     the WINEPREFIX, booted fresh by `boot`
  ROOT/home       HOME of every Wine process (wineboot links user folders into it)
  ROOT/env.json   the environment every Wine process of the run gets, DISPLAY included
  ROOT/xvfb.pid   the Xvfb that serves DISPLAY
  ROOT/logs       output of wineboot, wineserver and Xvfb (never a test's own pipes)

Commands:
  wineprefix.py boot ROOT [--winedebug CHANNELS]
                                    stop leftovers of an earlier run in ROOT, boot a fresh prefix,
                                    start Xvfb and a persistent wineserver; CHANNELS is the WINEDEBUG of
                                    every Wine process of the run (default -all)
  wineprefix.py stop ROOT           stop the wineserver of this prefix only and its Xvfb
  wineprefix.py exec ROOT -- CMD..  run CMD with the run's environment (used by ctest for unit tests)

Standard library only.
"""
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time

USER_FOLDERS = ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos")
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

BOOT_TIMEOUT = 180.0
XVFB_TIMEOUT = 15.0
STOP_TIMEOUT = 15.0


class PrefixError(RuntimeError):
    pass


def find_wine():
    """The wine launcher: OKAVU_WINE (set by ctest from the toolchain's emulator), else PATH."""
    wine = os.environ.get("OKAVU_WINE") or shutil.which("wine") or shutil.which("wine64")
    if not wine:
        raise PrefixError("wine not found (install the packages wine and wine64)")
    return wine


def find_wineserver():
    server = shutil.which("wineserver")
    if server:
        return server
    for candidate in ("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"):
        if os.access(candidate, os.X_OK):
            return candidate
    raise PrefixError("wineserver not found (install the packages wine and wine64)")


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie still answers kill(0); it is gone for our purposes.
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().split(b") ", 1)[1][:1] != b"Z"
    except OSError:
        return False


def wait_pid_gone(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not pid_alive(pid):
            return True
        time.sleep(0.02)
    return not pid_alive(pid)


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


class Prefix:
    """A state folder and the Wine prefix inside it."""

    def __init__(self, root, winedebug="-all"):
        self.root = os.path.abspath(root)
        self.winedebug = winedebug
        self.path = os.path.join(self.root, "prefix")
        self.home = os.path.join(self.root, "home")
        self.logs = os.path.join(self.root, "logs")
        self.env_file = os.path.join(self.root, "env.json")
        self.xvfb_pid_file = os.path.join(self.root, "xvfb.pid")
        self._env = None

    # ---- environment -------------------------------------------------------------------------

    def base_env(self, display=None):
        env = {
            "WINEPREFIX": self.path,
            "WINEARCH": "win64",
            "WINEDEBUG": self.winedebug,
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "HOME": self.home,
            "WINEDLLOVERRIDES": DLL_OVERRIDES,
        }
        if display:
            env["DISPLAY"] = display
        return env

    @property
    def run_env(self):
        """The variables every Wine process of this run gets (written by boot)."""
        if self._env is None:
            try:
                with open(self.env_file, encoding="utf-8") as f:
                    self._env = json.load(f)
            except FileNotFoundError:
                raise PrefixError(f"no booted prefix in {self.root} (run the prefix.setup test first)")
        return self._env

    def environ(self):
        """os.environ with the run's variables on top, for subprocess."""
        env = dict(os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "WINESERVER", "WINELOADER"):
            env.pop(name, None)
        env.update(self.run_env)
        return env

    # ---- layout ------------------------------------------------------------------------------

    @property
    def drive_c(self):
        return os.path.join(self.path, "drive_c")

    @property
    def user(self):
        users = os.path.join(self.drive_c, "users")
        names = sorted(n for n in os.listdir(users) if n.lower() != "public")
        if len(names) != 1:
            raise PrefixError(f"expected one user in {users}, found {names}")
        return names[0]

    @property
    def user_dir(self):
        return os.path.join(self.drive_c, "users", self.user)

    # ---- boot and stop -----------------------------------------------------------------------

    def boot(self, log=sys.stderr):
        started = time.monotonic()
        self.stop(quiet=True)
        if os.path.exists(self.root):
            shutil.rmtree(self.root)
        os.makedirs(self.home)
        os.makedirs(self.logs)
        display = self._start_xvfb()
        env = self.base_env(display)
        self._env = env
        try:
            self._run_logged([find_wine(), "wineboot", "-i"], "wineboot.log", BOOT_TIMEOUT)
            # wineboot returns before the prefix has settled; the first server ends once it has.
            self._run_logged([find_wineserver(), "-w"], "wineserver-wait.log", BOOT_TIMEOUT)
            self._make_user_folders_real()
            self._start_persistent_server()
            # No window manager runs on Xvfb: without this, Wine waits 2 s for one each time a visible
            # full-screen window (the stand-in shell's) goes away.
            self._run_logged([find_wine(), "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N",
                              "/f"], "x11-unmanaged.log", 60.0)
            # One process now starts the prefix's own services, so later tests start in milliseconds
            # and no service inherits a test's output pipes.
            self._run_logged([find_wine(), "cmd.exe", "/c", "exit"], "warmup.log", 60.0)
        except Exception:
            self.stop(quiet=True)
            raise
        with open(self.env_file, "w", encoding="utf-8") as f:
            json.dump(env, f, indent=1, sort_keys=True)
        print(f"prefix booted in {time.monotonic() - started:.1f} s: {self.path} (DISPLAY={display}, "
              f"user {self.user})", file=log)

    def stop(self, quiet=False):
        """Stops this prefix's wineserver (and with it every Wine process of the prefix) and its Xvfb."""
        if os.path.isdir(self.path):
            env = dict(os.environ)
            env.update(self.base_env())
            try:
                subprocess.run([find_wineserver(), "-k"], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=STOP_TIMEOUT)
            except (subprocess.TimeoutExpired, PrefixError) as e:
                if not quiet:
                    print(f"wineserver -k: {e}", file=sys.stderr)
            self._kill_prefix_processes()
        self._stop_xvfb()

    def _kill_prefix_processes(self):
        """Whatever still runs for this run: Wine processes of the prefix (a wineserver that did not answer
        -k, say) and helpers the tests started (servers), which carry OKAVU_TEST_ROOT=ROOT."""
        spare = _ancestors()
        markers = (b"WINEPREFIX=" + os.fsencode(self.path), b"OKAVU_TEST_ROOT=" + os.fsencode(self.root))
        for marker in markers:
            for pid in processes_with_env(marker):
                if pid in spare:
                    continue
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def _start_xvfb(self):
        xvfb = shutil.which("Xvfb")
        if not xvfb:
            raise PrefixError("Xvfb not found (install the package xvfb)")
        read_fd, write_fd = os.pipe()
        with open(os.path.join(self.logs, "xvfb.log"), "wb") as out:
            proc = subprocess.Popen([xvfb, "-displayfd", str(write_fd), "-nolisten", "tcp", "-screen", "0",
                                     "1280x800x24"], pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=out, start_new_session=True)
        os.close(write_fd)
        with open(self.xvfb_pid_file, "w") as f:
            f.write(str(proc.pid))
        data = b""
        deadline = time.monotonic() + XVFB_TIMEOUT
        try:
            while not data.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or proc.poll() is not None:
                    raise PrefixError("Xvfb did not report a display (see logs/xvfb.log)")
                ready, _, _ = select.select([read_fd], [], [], left)
                if ready:
                    chunk = os.read(read_fd, 64)
                    if not chunk:
                        raise PrefixError("Xvfb closed the display pipe (see logs/xvfb.log)")
                    data += chunk
        finally:
            os.close(read_fd)
        # The Popen object is dropped on purpose: Xvfb outlives this process until `stop`.
        proc.returncode = 0
        return ":" + data.decode().strip()

    def _stop_xvfb(self):
        try:
            with open(self.xvfb_pid_file) as f:
                pid = int(f.read().strip())
        except (OSError, ValueError):
            return
        args = _cmdline(pid)
        if args and os.path.basename(args[0]) == b"Xvfb":
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            if not wait_pid_gone(pid, STOP_TIMEOUT):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                wait_pid_gone(pid, STOP_TIMEOUT)
        try:
            os.unlink(self.xvfb_pid_file)
        except FileNotFoundError:
            pass

    def _run_logged(self, command, log_name, timeout):
        env = self.environ()
        with open(os.path.join(self.logs, log_name), "ab") as out:
            try:
                rc = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise PrefixError(f"{' '.join(command)} did not finish within {timeout:.0f} s")
        if rc != 0:
            raise PrefixError(f"{' '.join(command)} failed with exit code {rc} (see logs/{log_name})")

    def _make_user_folders_real(self):
        # wineboot links these to HOME; the program must see folders of its own.
        for name in USER_FOLDERS:
            path = os.path.join(self.user_dir, name)
            if os.path.islink(path):
                os.unlink(path)
            os.makedirs(path, exist_ok=True)

    def _start_persistent_server(self):
        # wineserver -p forks itself into the background; its output goes to the log, never to ctest.
        with open(os.path.join(self.logs, "wineserver.log"), "ab") as out:
            rc = subprocess.run([find_wineserver(), "-p"], env=self.environ(), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=out, timeout=30, start_new_session=True).returncode
        if rc != 0:
            raise PrefixError(f"wineserver -p failed with exit code {rc}")


def _ancestors():
    """This process and its parents, which a clean-up must never kill."""
    pids = set()
    pid = os.getpid()
    while pid > 1 and pid not in pids:
        pids.add(pid)
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                pid = int(f.read().rsplit(b") ", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            break
    return pids


def processes_with_env(marker):
    """PIDs of processes whose environment holds the exact entry marker (bytes)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        if pid == os.getpid():
            continue
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if marker in environ:
            found.append(pid)
    return found


def main(argv):
    if len(argv) in (3, 5) and argv[1] in ("boot", "stop"):
        winedebug = "-all"
        if len(argv) == 5:
            if argv[1] != "boot" or argv[3] != "--winedebug":
                print(__doc__, file=sys.stderr)
                return 2
            winedebug = argv[4]
        prefix = Prefix(argv[2], winedebug)
        try:
            if argv[1] == "boot":
                prefix.boot()
            else:
                prefix.stop()
        except PrefixError as e:
            print(f"error: {e}", file=sys.stderr)
            return 1
        return 0
    if len(argv) >= 5 and argv[1] == "exec" and argv[3] == "--":
        prefix = Prefix(argv[2])
        try:
            env = prefix.environ()
        except PrefixError as e:
            print(f"error: {e}", file=sys.stderr)
            return 1
        os.execvpe(argv[4], argv[4:], env)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
